#include "app/base/platform/platform.h"
#include "testsupport.h"
#include "waveform/segment.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

#include <vector>

using namespace kvq::waveform;

namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t value)
{
    return std::vector<uint8_t>(n, value);
}

struct Store {
    QTemporaryDir cache;
    Segment segment;
    Store() { segment.setMemoryDir(cache.path()); }
};

} // namespace

TEST(Segment, WritesAcrossBufferAndBlockBoundaries)
{
    const struct {
        const char* name;
        int64_t offset;
        size_t length;
        int result;
        int64_t count;                            // samples afterwards
        std::vector<std::pair<int, int>> buffers; // (block, buffer) that now hold data
    } cases[] = {
        {"inside one buffer", 100, 10, 0, 110 * 8, {{0, 0}}},
        {"across buffers 0 and 1", 1048570, 10, 0, 1048580 * 8, {{0, 0}, {0, 1}}},
        {"across blocks 0 and 1",
         (int64_t(1) << 26) - 2,
         4,
         0,
         ((int64_t(1) << 26) + 2) * 8,
         {{0, 63}, {1, 0}}},
        {"last bytes of block 319", (int64_t(320) << 26) - 2, 4, 0, (int64_t(320) << 26) * 8, {{319, 63}}},
        {"beyond block 319", int64_t(320) << 26, 4, 3, 0, {}},
        {"negative offset", -1, 4, 3, 0, {}},
    };
    for (const auto& c : cases) {
        Store s;
        const std::vector<uint8_t> data = bytes(c.length, 0xA5);
        EXPECT_EQ(s.segment.writeBytes(0, c.offset, data.data(), int64_t(c.length), false), c.result)
            << c.name;
        EXPECT_EQ(s.segment.sampleCount(0, false), c.count) << c.name;
        const std::vector<BlockRecord>& blocks = *s.segment.blocksOf(0);
        int held = 0;
        for (int i = 0; i < Segment::kBlocks; ++i)
            for (int k = 0; k < Segment::kBuffersPerBlock; ++k)
                held += blocks[size_t(i)].data[size_t(k)] != nullptr;
        EXPECT_EQ(held, int(c.buffers.size())) << c.name;
        for (const auto& [block, buffer] : c.buffers)
            EXPECT_NE(blocks[size_t(block)].data[size_t(buffer)], nullptr) << c.name;
    }
    Store s;
    EXPECT_EQ(s.segment.writeBytes(1, 0, bytes(1, 0).data(), 1, false), 2); // no channel 1
}

TEST(Segment, ReadsLevelsAndBytes)
{
    Store s;
    const uint8_t pattern[] = {0x01, 0x80, 0xFF};
    ASSERT_EQ(s.segment.writeBytes(0, 1048576 * 2, pattern, 3, false), 0);
    const int64_t base = 1048576LL * 2 * 8;
    const struct {
        int64_t sample;
        bool level;
    } cases[] = {{base + 0, true},
                 {base + 1, false},
                 {base + 15, true},
                 {base + 14, false},
                 {base + 20, true},
                 {base + 24, false},
                 {5, false} /* never written */,
                 {-1, false}};
    for (const auto& c : cases)
        EXPECT_EQ(s.segment.levelAt(c.sample, 0, false), c.level) << c.sample;
    int64_t end = 0;
    const uint8_t* at = s.segment.dataAt(base + 8, &end, 0);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(*at, 0x80);
    EXPECT_EQ(end, 3 * Segment::kBufferSamples);
    EXPECT_EQ(s.segment.dataAt(5, &end, 0), nullptr); // never written
    EXPECT_EQ(s.segment.dataAt(int64_t(320) * Segment::kBlockSamples, &end, 0), nullptr);

    s.segment.setStart(0, base);
    EXPECT_TRUE(s.segment.levelAt(0, 0, true));
    EXPECT_FALSE(s.segment.levelAt(1, 0, true));
}

TEST(Segment, CompactingConstantBuffers)
{
    const struct {
        const char* name;
        uint8_t fill;
        bool mixed;
        bool constant;
        bool level;
    } cases[] = {{"all high", 0xFF, false, true, true},
                 {"all low", 0x00, false, true, false},
                 {"mixed", 0xFF, true, false, false}};
    for (const auto& c : cases) {
        Store s;
        std::vector<uint8_t> data = bytes(Segment::kBufferBytes, c.fill);
        if (c.mixed)
            data[777] = 0x7F;
        ASSERT_EQ(s.segment.writeBytes(0, Segment::kBufferBytes * 5, data.data(), int64_t(data.size()), true),
                  0);
        const BlockRecord& record = (*s.segment.blocksOf(0))[0];
        EXPECT_EQ((record.constantMask >> 5) & 1, uint64_t(c.constant)) << c.name;
        EXPECT_EQ(record.data[5] == nullptr, c.constant) << c.name;
        if (c.constant) {
            EXPECT_EQ((record.levelMask >> 5) & 1, uint64_t(c.level)) << c.name;
            EXPECT_EQ(s.segment.levelAt(Segment::kBufferSamples * 5 + 12345, 0, false), c.level) << c.name;
            EXPECT_EQ(s.segment.dataAt(Segment::kBufferSamples * 5, nullptr, 0), nullptr) << c.name;
            EXPECT_FALSE(QFileInfo::exists(s.segment.memoryDir() + "/0/0/5")) << c.name; // file gone
        }
    }
    // Writing into a compacted buffer brings its level back as bytes.
    Store s;
    std::vector<uint8_t> high = bytes(Segment::kBufferBytes, 0xFF);
    ASSERT_EQ(s.segment.writeBytes(0, 0, high.data(), int64_t(high.size()), true), 0);
    const uint8_t low = 0;
    ASSERT_EQ(s.segment.writeBytes(0, 10, &low, 1, false), 0);
    EXPECT_TRUE(s.segment.levelAt(0, 0, false));
    EXPECT_FALSE(s.segment.levelAt(80, 0, false));
}

TEST(Segment, CountsStartsAndClearing)
{
    Store s;
    s.segment.setSampleCount(500, 0, false);
    s.segment.setStart(0, 1000);
    EXPECT_EQ(s.segment.sampleCount(0, true), 0);
    EXPECT_EQ(s.segment.sampleCount(0, false), 500);
    s.segment.setSampleCount(500, 0, true);
    EXPECT_EQ(s.segment.sampleCount(0, false), 1500);
    EXPECT_EQ(s.segment.sampleCount(3, false), 0);

    s.segment.setChannelCount(3);
    EXPECT_EQ(s.segment.channelCount(), 3);
    const uint8_t one = 1;
    ASSERT_EQ(s.segment.writeBytes(2, 0, &one, 1, false), 0);
    const QString file = s.segment.memoryDir() + "/2/0/0";
    EXPECT_TRUE(QFileInfo::exists(file));
    s.segment.clearCapture();
    EXPECT_EQ(s.segment.channelCount(), 1);
    EXPECT_EQ(s.segment.sampleCount(0, false), 0);
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_FALSE(s.segment.isClearing());
}

TEST(Segment, RateAndPeriod)
{
    Segment s;
    s.setRate(2000);
    EXPECT_EQ(s.rate(), 2000);
    EXPECT_EQ(s.periodNs(), 500);
    s.setRate(0); // ignored
    EXPECT_EQ(s.rate(), 2000);
}

TEST(Segment, UnwritableMemoryFolderFallsBackToTheHeap)
{
    Segment s;
    s.setMemoryDir(QStringLiteral("/dev/null/cache"));
    const uint8_t one = 1;
    EXPECT_EQ(s.writeBytes(0, 0, &one, 1, false), 0);
    EXPECT_FALSE(s.usesMapping());
    EXPECT_EQ(s.writeBytes(0, Segment::kBufferBytes * 3, &one, 1, false), 0);
    EXPECT_TRUE(s.levelAt(0, 0, false));
    EXPECT_TRUE(s.levelAt(Segment::kBufferSamples * 3, 0, false));
}

TEST(Segment, LowMemoryRefusesNewBuffers)
{
    Store s;
    kvq::platform::setAvailableMemoryOverride(100LL << 20);
    int refused = 0;
    const uint8_t one = 1;
    for (int k = 0; k < 20; ++k)
        refused += s.segment.writeBytes(0, Segment::kBufferBytes * k, &one, 1, false) == Segment::NoBuffer;
    kvq::platform::setAvailableMemoryOverride(-1);
    EXPECT_GE(refused, 1);
    EXPECT_LE(refused, 2); // the check runs on every tenth request
}

TEST(Segment, DestructionRemovesTheMemoryFolder)
{
    QTemporaryDir cache;
    QString dir;
    {
        Segment s;
        s.setMemoryDir(cache.path());
        dir = s.memoryDir();
        EXPECT_TRUE(dir.startsWith(cache.path() + "/memory/"));
        const uint8_t one = 1;
        ASSERT_EQ(s.writeBytes(0, 0, &one, 1, false), 0);
        EXPECT_TRUE(QFileInfo::exists(dir + "/0/0/0"));
    }
    EXPECT_FALSE(QFileInfo::exists(dir));
}

// A file that cannot get its blocks (here: a file size limit, standing in for a
// full disk) must turn into a heap buffer, not into SIGBUS on the first write.
TEST(Segment, BufferFileWithoutBlocksFallsBackToTheHeap)
{
    Store s;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<uint8_t> data = bytes(Segment::kBufferBytes, 0x3C);
    const int result = s.segment.writeBytes(0, 0, data.data(), int64_t(data.size()), false);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(s.segment.usesMapping());
    EXPECT_FALSE(QFileInfo::exists(s.segment.memoryDir() + "/0/0/0"));
    EXPECT_EQ(*s.segment.dataAt(Segment::kBufferSamples - 8, nullptr, 0), 0x3C);
}
