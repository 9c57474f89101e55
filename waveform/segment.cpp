#include "waveform/segment.h"

#include "app/base/helpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kvq::waveform {

Segment::Segment(QObject* parent) : QObject(parent)
{
    resetChannels(1);
}

Segment::~Segment()
{
    releaseAll();
    if (m_useMapping && !m_memoryDir.isEmpty() && QDir(m_memoryDir).exists())
        QDir(m_memoryDir).removeRecursively();
}

void Segment::resetChannels(int count)
{
    {
        std::lock_guard<std::mutex> lock(m_dataLock);
        m_blocks.assign(size_t(count), std::vector<BlockRecord>(kBlocks));
    }
    {
        std::lock_guard<std::mutex> lock(m_countLock);
        m_counts.assign(size_t(count), 0);
        m_starts.assign(size_t(count), 0);
    }
    m_channelCount = count;
}

void Segment::setChannelCount(int count)
{
    if (count < 1 || count > 255)
        return;
    releaseAll();
    resetChannels(count);
}

void Segment::setMemoryDir(const QString& cacheFolder)
{
    m_memoryDir = makeUniqueEntry(cacheFolder + QStringLiteral("/memory"), false);
}

void Segment::setRate(std::int64_t kHz)
{
    if (kHz <= 0)
        return;
    m_rate = kHz;
    m_periodNs = int(1000000 / kHz);
}

std::int64_t Segment::sampleCount(int channel, bool relative) const
{
    if (channel < 0 || channel >= m_channelCount)
        return 0;
    std::lock_guard<std::mutex> lock(m_countLock);
    const std::int64_t count = m_counts[size_t(channel)];
    const std::int64_t start = m_starts[size_t(channel)];
    if (!relative)
        return count;
    return start < count ? count - start : 0;
}

void Segment::setSampleCount(std::int64_t value, int channel, bool relative)
{
    if (channel < 0 || channel >= m_channelCount)
        return;
    std::lock_guard<std::mutex> lock(m_countLock);
    m_counts[size_t(channel)] = value + (relative ? m_starts[size_t(channel)] : 0);
}

std::int64_t Segment::startOf(int channel) const
{
    if (channel < 0 || channel >= m_channelCount)
        return 0;
    std::lock_guard<std::mutex> lock(m_countLock);
    return m_starts[size_t(channel)];
}

void Segment::setStart(int channel, std::int64_t value)
{
    if (channel < 0 || channel >= m_channelCount)
        return;
    std::lock_guard<std::mutex> lock(m_countLock);
    m_starts[size_t(channel)] = value;
}

std::vector<BlockRecord>* Segment::blocksOf(int channel)
{
    if (channel < 0 || channel >= m_channelCount)
        return nullptr;
    return &m_blocks[size_t(channel)];
}

std::uint8_t* Segment::obtainBuffer(int channel, int block, int buffer, int* fd)
{
    *fd = -1;
    if (m_useMapping) {
        if (!memoryGuardAllows())
            return nullptr;
        const QString folder = QStringLiteral("%1/%2/%3").arg(m_memoryDir).arg(channel).arg(block);
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + QString::number(buffer));
        void* mapped = MAP_FAILED;
        int file = -1;
        if (!m_memoryDir.isEmpty() && QDir().mkpath(folder))
            file = ::open(path.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        // Blocks reserved up front: a full disk then fails here, not later with
        // SIGBUS when a page of the mapping is first written.
        if (file >= 0 && ::posix_fallocate(file, 0, kBufferBytes) == 0)
            mapped = ::mmap(nullptr, size_t(kBufferBytes), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
        if (mapped != MAP_FAILED) {
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23 // Linux 5.14
#endif
            // Capture bytes arrive 250 at a time: fault the whole buffer in
            // writable at once instead of trapping on each of its 256 pages.
            ::madvise(mapped, size_t(kBufferBytes), MADV_POPULATE_WRITE);
            *fd = file;
            return static_cast<std::uint8_t*>(mapped);
        }
        if (file >= 0) {
            ::close(file);
            ::unlink(path.constData());
        }
        m_useMapping = false; // and for the rest of the process
    }
    void* heap = guardedAlloc(size_t(kBufferBytes));
    if (heap)
        std::memset(heap, 0, size_t(kBufferBytes));
    return static_cast<std::uint8_t*>(heap);
}

int Segment::writeBytes(int channel, std::int64_t b, const std::uint8_t* src, std::int64_t n, bool compact)
{
    if (channel < 0 || channel >= m_channelCount)
        return BadChannel;
    if (b < 0 || (b >> 26) >= kBlocks)
        return BeyondEnd;
    int block = int(b >> 26);
    int buffer = int((b >> 20) & 63);
    std::int64_t pos = b & 0xFFFFF;
    std::int64_t written = 0;
    while (written < n) {
        if (block >= kBlocks)
            break; // the rest would lie beyond the last block
        const std::int64_t m = std::min(kBufferBytes - pos, n - written);
        {
            std::lock_guard<std::mutex> lock(m_dataLock);
            BlockRecord& record = m_blocks[size_t(channel)][size_t(block)];
            if (!record.data[size_t(buffer)]) {
                int fd = -1;
                std::uint8_t* data = obtainBuffer(channel, block, buffer, &fd);
                if (!data)
                    return NoBuffer;
                record.data[size_t(buffer)] = data;
                record.files[size_t(buffer)] = fd;
                // A constant buffer written into again holds its level as real bytes.
                if (record.constantMask & (std::uint64_t(1) << buffer)) {
                    if (record.levelMask & (std::uint64_t(1) << buffer))
                        std::memset(data, 0xFF, size_t(kBufferBytes));
                    record.constantMask &= ~(std::uint64_t(1) << buffer);
                }
            }
            std::memcpy(record.data[size_t(buffer)] + pos, src + written, size_t(m));
        }
        if (compact && pos + m == kBufferBytes)
            compactBuffer(channel, block, buffer);
        written += m;
        pos = 0;
        if (++buffer == kBuffersPerBlock) {
            buffer = 0;
            ++block;
        }
    }
    std::lock_guard<std::mutex> lock(m_countLock);
    m_counts[size_t(channel)] = std::max(m_counts[size_t(channel)], (b + written) * 8);
    return WriteOk;
}

bool Segment::levelAt(std::int64_t s, int channel, bool relative) const
{
    if (channel < 0 || channel >= m_channelCount)
        return false;
    if (relative)
        s += startOf(channel);
    if (s < 0 || (s >> 29) >= kBlocks)
        return false;
    const int buffer = int((s >> 23) & 63);
    std::lock_guard<std::mutex> lock(m_dataLock);
    const BlockRecord& record = m_blocks[size_t(channel)][size_t(s >> 29)];
    if (record.constantMask & (std::uint64_t(1) << buffer))
        return (record.levelMask >> buffer) & 1;
    const std::uint8_t* data = record.data[size_t(buffer)];
    return data && ((data[(s >> 3) & 0xFFFFF] >> (s & 7)) & 1);
}

const std::uint8_t* Segment::dataAt(std::int64_t s, std::int64_t* bufferEnd, int channel) const
{
    if (channel < 0 || channel >= m_channelCount || s < 0 || s >= kBlocks * kBlockSamples)
        return nullptr;
    if (bufferEnd)
        *bufferEnd = ((s >> 23) + 1) << 23;
    std::lock_guard<std::mutex> lock(m_dataLock);
    const std::uint8_t* data = m_blocks[size_t(channel)][size_t(s >> 29)].data[size_t((s >> 23) & 63)];
    return data ? data + ((s >> 3) & 0xFFFFF) : nullptr;
}

void Segment::setConstantBuffers(int channel, int block, std::uint64_t constantMask, std::uint64_t levelMask)
{
    if (channel < 0 || channel >= m_channelCount || block < 0 || block >= kBlocks)
        return;
    std::lock_guard<std::mutex> lock(m_dataLock);
    BlockRecord& record = m_blocks[size_t(channel)][size_t(block)];
    for (int k = 0; k < kBuffersPerBlock; ++k) {
        const std::uint64_t bit = std::uint64_t(1) << k;
        if (!(constantMask & bit) || record.data[size_t(k)])
            continue;
        record.constantMask |= bit;
        record.levelMask = (record.levelMask & ~bit) | (levelMask & bit);
    }
}

void Segment::compactBuffer(int channel, int block, int buffer)
{
    if (channel < 0 || channel >= m_channelCount || block < 0 || block >= kBlocks || buffer < 0 ||
        buffer >= kBuffersPerBlock)
        return;
    std::lock_guard<std::mutex> lock(m_dataLock);
    BlockRecord& record = m_blocks[size_t(channel)][size_t(block)];
    const std::uint8_t* data = record.data[size_t(buffer)];
    if (!data)
        return;
    const std::uint8_t level = data[0] ? 0xFF : 0x00;
    // Word-wise: a constant buffer is the common case of an idle line.
    const std::uint64_t word = level ? ~std::uint64_t(0) : 0;
    const auto* words = reinterpret_cast<const std::uint64_t*>(data);
    for (std::int64_t i = 0; i < kBufferBytes / 8; ++i)
        if (words[i] != word)
            return;
    releaseBuffer(channel, block, buffer);
    record.constantMask |= std::uint64_t(1) << buffer;
    if (level)
        record.levelMask |= std::uint64_t(1) << buffer;
    else
        record.levelMask &= ~(std::uint64_t(1) << buffer);
}

void Segment::releaseBuffer(int channel, int block, int buffer)
{
    BlockRecord& record = m_blocks[size_t(channel)][size_t(block)];
    std::uint8_t*& data = record.data[size_t(buffer)];
    int& fd = record.files[size_t(buffer)];
    if (!data)
        return;
    if (fd >= 0) {
        ::munmap(data, size_t(kBufferBytes));
        ::close(fd);
        fd = -1;
        const QString path =
            QStringLiteral("%1/%2/%3/%4").arg(m_memoryDir).arg(channel).arg(block).arg(buffer);
        ::unlink(QFile::encodeName(path).constData());
    } else {
        std::free(data);
    }
    data = nullptr;
}

void Segment::releaseAll()
{
    std::lock_guard<std::mutex> lock(m_dataLock);
    for (size_t c = 0; c < m_blocks.size(); ++c)
        for (int i = 0; i < kBlocks; ++i)
            for (int k = 0; k < kBuffersPerBlock; ++k)
                releaseBuffer(int(c), i, k);
}

void Segment::clearCapture()
{
    m_clearing = true;
    m_users.closeAndWait();
    releaseAll();
    resetChannels(1);
    m_users.reopen();
    m_clearing = false;
}

} // namespace kvq::waveform
