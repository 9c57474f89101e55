#include "app/base/sharedmemoryhelper.h"

#include <QCoreApplication>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <signal.h>

QString SharedMemoryHelper::keyFor(bool simulate)
{
    return simulate ? QStringLiteral("kvq_m2_simulation_%1").arg(QCoreApplication::applicationPid())
                    : QStringLiteral("kvq_m2_shared_memory_block");
}

SharedMemoryHelper::SharedMemoryHelper(const QString& key) : m_memory(key)
{
    if (m_memory.attach(QSharedMemory::ReadWrite)) {
        m_attached = true;
    } else if (m_memory.create(kLength, QSharedMemory::ReadWrite)) {
        m_creator = true;
        m_attached = true;
        lockBlock();
        std::memset(data(), 0, kLength);
        unlockBlock();
    }
    if (!m_attached)
        return;
    lockBlock();
    if (data()[kMarker] != 2 && data()[kInstances] == 0)
        std::memset(data(), 0, kLength);
    data()[kMarker] = 2;
    reclaim();
    unlockBlock();
}

SharedMemoryHelper::~SharedMemoryHelper()
{
    if (m_attached)
        m_memory.detach();
}

void SharedMemoryHelper::lockBlock()
{
    std::unique_lock<std::mutex> lock(m_depthMutex);
    const auto self = std::this_thread::get_id();
    if (m_depth > 0 && m_owner == self) {
        ++m_depth;
        return;
    }
    m_depthFree.wait(lock, [this] { return m_depth == 0; });
    m_owner = self;
    m_depth = 1;
    lock.unlock();
    if (m_attached)
        m_memory.lock();
}

void SharedMemoryHelper::unlockBlock()
{
    std::unique_lock<std::mutex> lock(m_depthMutex);
    if (m_depth == 0 || m_owner != std::this_thread::get_id())
        return;
    if (--m_depth > 0)
        return;
    if (m_attached)
        m_memory.unlock();
    m_owner = std::thread::id();
    lock.unlock();
    m_depthFree.notify_one();
}

uint8_t SharedMemoryHelper::byteAt(int pos)
{
    if (!m_attached || pos < 0 || pos >= kLength - 1)
        return 0;
    lockBlock();
    const uint8_t value = data()[pos];
    unlockBlock();
    return value;
}

void SharedMemoryHelper::incrementByte(int pos)
{
    if (!m_attached || pos < 0 || pos >= kLength - 1)
        return;
    lockBlock();
    ++data()[pos];
    unlockBlock();
}

void SharedMemoryHelper::decrementByte(int pos)
{
    if (!m_attached || pos < 0 || pos >= kLength - 1)
        return;
    lockBlock();
    if (data()[pos] > 0)
        --data()[pos];
    unlockBlock();
}

bool SharedMemoryHelper::clearBlock()
{
    if (!m_attached)
        return false;
    lockBlock();
    std::memset(data(), 0, kLength);
    unlockBlock();
    return true;
}

namespace {

bool processAlive(int32_t pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

int32_t readInt(const uint8_t* at)
{
    return qFromLittleEndian<int32_t>(at);
}

} // namespace

QVector<SharedMemoryHelper::Entry> SharedMemoryHelper::entries()
{
    QVector<Entry> list;
    const int n = std::min<int>(data()[kIdCount], kMaxIds);
    for (int i = 0; i < n; ++i)
        list.append({readInt(data() + kIdList + 4 * i), readInt(data() + kOwnerList + 4 * i)});
    return list;
}

void SharedMemoryHelper::writeEntries(const QVector<Entry>& list)
{
    data()[kIdCount] = uint8_t(list.size());
    std::memset(data() + kIdList, 0, size_t(kLength - 1 - kIdList));
    std::memset(data() + kOwnerList, 0, size_t(4 * kMaxIds));
    for (int i = 0; i < list.size(); ++i) {
        qToLittleEndian<int32_t>(list[i].id, data() + kIdList + 4 * i);
        qToLittleEndian<int32_t>(list[i].owner, data() + kOwnerList + 4 * i);
    }
}

void SharedMemoryHelper::reclaim()
{
    QVector<Entry> list = entries();
    const int before = list.size();
    list.erase(
        std::remove_if(list.begin(), list.end(), [](const Entry& e) { return !processAlive(e.owner); }),
        list.end());
    if (list.size() != before || data()[kIdCount] > kMaxIds)
        writeEntries(list);

    int live = 0;
    for (int i = 0; i < kMaxInstances; ++i) {
        uint8_t* at = data() + kInstanceList + 4 * i;
        const int32_t pid = readInt(at);
        if (pid == 0)
            continue;
        if (processAlive(pid))
            ++live;
        else
            qToLittleEndian<int32_t>(0, at);
    }
    data()[kInstances] = uint8_t(live);
    if (live == 0)
        data()[kQuitRequest] = 0;
}

void SharedMemoryHelper::registerInstance()
{
    if (!m_attached)
        return;
    lockBlock();
    reclaim();
    const int32_t self = int32_t(QCoreApplication::applicationPid());
    for (int i = 0; i < kMaxInstances; ++i) {
        uint8_t* at = data() + kInstanceList + 4 * i;
        if (readInt(at) == 0) {
            qToLittleEndian<int32_t>(self, at);
            ++data()[kInstances];
            break;
        }
    }
    unlockBlock();
}

void SharedMemoryHelper::unregisterInstance()
{
    if (!m_attached)
        return;
    lockBlock();
    const int32_t self = int32_t(QCoreApplication::applicationPid());
    for (int i = 0; i < kMaxInstances; ++i) {
        uint8_t* at = data() + kInstanceList + 4 * i;
        if (readInt(at) == self) {
            qToLittleEndian<int32_t>(0, at);
            if (data()[kInstances] > 0)
                --data()[kInstances];
            break;
        }
    }
    unlockBlock();
}

QVector<int32_t> SharedMemoryHelper::deviceIds()
{
    QVector<int32_t> ids;
    if (!m_attached)
        return ids;
    lockBlock();
    reclaim();
    for (const Entry& e : entries())
        ids.append(e.id);
    unlockBlock();
    return ids;
}

bool SharedMemoryHelper::addDeviceId(int32_t id)
{
    if (!m_attached)
        return false;
    lockBlock();
    reclaim();
    QVector<Entry> list = entries();
    bool listed = std::any_of(list.begin(), list.end(), [id](const Entry& e) { return e.id == id; });
    if (!listed && list.size() < kMaxIds) {
        list.append({id, int32_t(QCoreApplication::applicationPid())});
        writeEntries(list);
        listed = true;
    }
    unlockBlock();
    return listed;
}

void SharedMemoryHelper::removeDeviceId(int32_t id)
{
    if (!m_attached)
        return;
    lockBlock();
    QVector<Entry> list = entries();
    const auto it = std::find_if(list.begin(), list.end(), [id](const Entry& e) { return e.id == id; });
    if (it != list.end()) {
        list.erase(it);
        writeEntries(list);
    }
    unlockBlock();
}
