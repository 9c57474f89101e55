#include "app/sharedmemoryhelper.h"

#include <QCoreApplication>
#include <QtEndian>

#include <cstring>

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

QVector<int32_t> SharedMemoryHelper::deviceIds()
{
    QVector<int32_t> ids;
    if (!m_attached)
        return ids;
    lockBlock();
    const int n = data()[kIdCount];
    for (int i = 0; i < n && kIdList + 4 * (i + 1) <= kLength - 1; ++i)
        ids.append(qFromLittleEndian<int32_t>(data() + kIdList + 4 * i));
    unlockBlock();
    return ids;
}

void SharedMemoryHelper::writeIds(const QVector<int32_t>& ids)
{
    // Only a list that ends before the last byte is written: 127 ids at most.
    if (kIdList + 4 * ids.size() > kLength - 1)
        return;
    data()[kIdCount] = uint8_t(ids.size());
    std::memset(data() + kIdList, 0, size_t(kLength - 1 - kIdList));
    for (int i = 0; i < ids.size(); ++i)
        qToLittleEndian<int32_t>(ids[i], data() + kIdList + 4 * i);
}

void SharedMemoryHelper::addDeviceId(int32_t id)
{
    if (!m_attached)
        return;
    lockBlock();
    QVector<int32_t> ids = deviceIds();
    if (!ids.contains(id)) {
        ids.append(id);
        writeIds(ids);
    }
    unlockBlock();
}

void SharedMemoryHelper::removeDeviceId(int32_t id)
{
    if (!m_attached)
        return;
    lockBlock();
    QVector<int32_t> ids = deviceIds();
    if (ids.removeOne(id))
        writeIds(ids);
    unlockBlock();
}
