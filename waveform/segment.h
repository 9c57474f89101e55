#pragma once

// The capture store of the PD analyser: the CC line's level, one bit per
// sample, in 1 MiB buffers (64 per block, 320 blocks per channel) that are
// memory-mapped files below the cache folder, or heap memory when mapping
// fails. Buffers exist only where data was written; a buffer of one level
// throughout can be compacted to two bits of bookkeeping.

#include "app/base/usecount.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kvq::waveform {

using kvq::Hold;
using kvq::UseCount;

struct BlockRecord {
    std::uint64_t constantMask = 0;       // bit k: buffer k is one level and has no data
    std::uint64_t levelMask = 0;          // bit k: that level
    std::array<int, 64> files;            // descriptor of buffer k's mapped file, or -1
    std::array<std::uint8_t*, 64> data{}; // buffer k, or null (never written, or constant)
    BlockRecord() { files.fill(-1); }
};

class Segment : public QObject {
    Q_OBJECT

public:
    static constexpr std::int64_t kBufferBytes = 1 << 20;
    static constexpr int kBuffersPerBlock = 64;
    static constexpr int kBlocks = 320;
    static constexpr std::int64_t kBufferSamples = kBufferBytes * 8;
    static constexpr std::int64_t kBlockSamples = kBufferSamples * kBuffersPerBlock;

    enum WriteResult { WriteOk = 0, NoBuffer = 1, BadChannel = 2, BeyondEnd = 3 };

    explicit Segment(QObject* parent = nullptr);
    ~Segment() override;

    void setMemoryDir(const QString& cacheFolder);
    QString memoryDir() const { return m_memoryDir; }
    bool usesMapping() const { return m_useMapping.load(); }

    void setRate(std::int64_t kHz);
    std::int64_t rate() const { return m_rate.load(); }
    int periodNs() const { return m_periodNs.load(); }
    int channelCount() const { return m_channelCount.load(); }
    // Makes `count` channels (each empty); protocol files with several channels use it.
    void setChannelCount(int count);

    std::int64_t sampleCount(int channel, bool relative) const;
    void setSampleCount(std::int64_t value, int channel, bool relative);
    std::int64_t startOf(int channel) const;
    void setStart(int channel, std::int64_t value);
    std::vector<BlockRecord>* blocksOf(int channel);

    int writeBytes(int channel, std::int64_t byteOffset, const std::uint8_t* bytes, std::int64_t length,
                   bool compact);
    bool levelAt(std::int64_t sample, int channel, bool relative) const;
    const std::uint8_t* dataAt(std::int64_t sample, std::int64_t* bufferEnd, int channel) const;
    void compactBuffer(int channel, int block, int buffer);
    // Records the buffers of `constantMask` that hold no data as constant at
    // their bit of `levelMask` (a protocol file's block line).
    void setConstantBuffers(int channel, int block, std::uint64_t constantMask, std::uint64_t levelMask);

    // A use of the buffers for as long as the hold lives; empty while clearing.
    Hold<Segment> hold() { return Hold<Segment>(this, m_users); }
    bool isClearing() const { return m_clearing.load(); }
    // Waits until every hold has ended (holders stop on isClearing), then
    // frees the buffers. Never call it while holding the store yourself.
    void clearCapture();

    // Byte position where the report reader appends to channel 0.
    std::atomic<std::int64_t> writePos{0};

private:
    std::uint8_t* obtainBuffer(int channel, int block, int buffer, int* fd);
    void releaseBuffer(int channel, int block, int buffer); // with m_dataLock held
    void releaseAll();
    void resetChannels(int count);

    mutable std::mutex m_countLock; // guards m_counts and m_starts
    std::vector<std::int64_t> m_counts;
    std::vector<std::int64_t> m_starts;
    std::atomic<bool> m_clearing{false};
    mutable std::mutex m_dataLock; // guards the buffer pointers and copies into buffers
    std::vector<std::vector<BlockRecord>> m_blocks;
    std::atomic<std::int64_t> m_rate{0};
    std::atomic<int> m_channelCount{1};
    std::atomic<int> m_periodNs{0};
    UseCount m_users;
    QString m_memoryDir;
    std::atomic<bool> m_useMapping{true};
};

} // namespace kvq::waveform
