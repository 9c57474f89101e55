#include "app/base/platform/platform.h"
#include "testsupport.h"
#include "waveform/statistics.h"
#include "waveform/waveformdata.h"

#include <gtest/gtest.h>

#include <random>
#include <shared_mutex>

using namespace kvq::waveform;

namespace {

// A store with the given voltages at 1000 samples/s (times 0, 1, 2, ...).
std::unique_ptr<WaveformData> voltages(const std::vector<float>& values)
{
    auto s = std::make_unique<WaveformData>();
    s->setRate(1000);
    s->setLastTime(-1);
    for (float v : values)
        s->appendSample(v, 1.0f, 0, 0, 0, 0);
    return s;
}

QJsonObject object(std::initializer_list<std::pair<const char*, const char*>> entries)
{
    QJsonObject o;
    for (const auto& [k, v] : entries)
        o.insert(QString::fromLatin1(k), QString::fromLatin1(v));
    return o;
}

} // namespace

TEST(Statistics, TotalStatistics)
{
    const struct {
        const char* name;
        std::vector<float> values;
        QJsonObject expected;
    } cases[] = {
        {"three samples",
         {5.0f, 5.2f, 5.1f},
         object({{"average", "05.1000"},
                 {"min", "05.0000"},
                 {"max", "05.2000"},
                 {"time", "00:00:00:002"},
                 {"vpp", "00.2000"}})},
        {"only rising",
         {5.0f, 5.1f, 5.2f},
         object({{"average", "05.1000"},
                 {"min", "05.0000"},
                 {"max", "05.2000"},
                 {"time", "00:00:00:002"},
                 {"vpp", "00.2000"}})},
        {"prepared but empty",
         {},
         object({{"average", "00.0000"},
                 {"min", "00.0000"},
                 {"max", "00.0000"},
                 {"time", "00:00:00:000"},
                 {"vpp", "00.0000"}})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(totalStatistics(*voltages(c.values), Voltage), c.expected) << c.name;
    const QJsonObject current = totalStatistics(*voltages({5.0f}), Current);
    EXPECT_FALSE(current.contains("vpp"));
    EXPECT_EQ(current.value("average").toString(), QStringLiteral("01.0000"));
}

TEST(Statistics, WindowIndexesFollowTheExclusiveEndRule)
{
    auto s = voltages(std::vector<float>(10, 5.0f)); // times 0..9
    std::shared_lock<std::shared_mutex> lock(s->lock());
    const struct {
        qint64 t0, t1;
        bool found;
        qint64 first, last;
    } cases[] = {
        {3, 7, true, 2, 6},                         // the sample before t0 and the last before t1
        {0, 5, true, 0, 4},                         // nothing before 0: from the first sample
        {-50, 9, true, 0, 9},                       // t1 reaches the last time stamp: to the last sample
        {4, 40, true, 3, 9},  {0, 0, false, 0, -1}, // nothing before t1 = 0
    };
    for (const auto& c : cases) {
        const WindowResult r = windowQuery(*s, Voltage, c.t0, c.t1);
        EXPECT_EQ(r.found, c.found) << c.t0 << ".." << c.t1;
        if (c.found) {
            EXPECT_EQ(r.first, c.first) << c.t0 << ".." << c.t1;
            EXPECT_EQ(r.last, c.last) << c.t0 << ".." << c.t1;
            EXPECT_DOUBLE_EQ(r.sum, 5.0 * double(c.last - c.first + 1));
        }
    }
}

TEST(Statistics, IntervalStatistics)
{
    std::vector<float> values(5000);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = 5.0f + float(i % 10) / 10.0f;
    auto s = voltages(values);
    // Samples 999 (the last before 1000 ms) to 2999: 5.9 and then 200 whole cycles of 5.0 .. 5.9.
    EXPECT_EQ(intervalStatistics(*s, Voltage, 1000, 3000), object({{"average", "05.4502"},
                                                                   {"min", "05.0000"},
                                                                   {"max", "05.9000"},
                                                                   {"time", "00:00:02:000"},
                                                                   {"vpp", "00.9000"}}));
    // Past the end of the data: zeros, but the requested duration.
    EXPECT_EQ(intervalStatistics(*s, Voltage, 6000, 9000), object({{"average", "00.0000"},
                                                                   {"min", "00.0000"},
                                                                   {"max", "00.0000"},
                                                                   {"time", "00:00:03:000"},
                                                                   {"vpp", "00.0000"}}));
    WaveformData empty;
    EXPECT_EQ(intervalStatistics(empty, Power, 0, 65120).value("time").toString(),
              QStringLiteral("00:01:05:120"));
}

TEST(Statistics, RangeSumAgreesWithAScanAlsoWhenRolling)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> value(0, 20);
    for (bool rolling : {false, true}) {
        WaveformData s;
        s.setRate(1000);
        s.setLastTime(-1);
        if (rolling)
            kvq::platform::setAvailableMemoryOverride(100LL << 20);
        for (int i = 0; i < 4321; ++i)
            s.appendSample(value(rng), 1, 0, 0, 0, 0);
        kvq::platform::setAvailableMemoryOverride(-1);
        EXPECT_EQ(s.isRolling(), rolling);
        std::uniform_int_distribution<qint64> pos(-10, s.count() + 10);
        for (int i = 0; i < 500; ++i) {
            qint64 a = pos(rng), b = pos(rng);
            double expected = 0;
            for (qint64 k = std::max<qint64>(std::min(a, b), 0); k <= std::min(std::max(a, b), s.count() - 1);
                 ++k)
                expected += double(s.values(Voltage)[k]);
            EXPECT_NEAR(s.rangeSum(Voltage, a, b), expected, 1e-6 * (1 + expected)) << a << ".." << b;
        }
    }
}

TEST(Statistics, ExtremumIsTheFirstOccurrence)
{
    auto s = voltages({5.0f, 7.0f, 3.0f, 7.0f, 3.0f, 6.0f});
    std::shared_lock<std::shared_mutex> lock(s->lock());
    const struct {
        qint64 t0, t1;
        bool findMax;
        qint64 expected;
    } cases[] = {
        {0, 5, true, 1},  {0, 5, false, 2}, // equal values: the earliest wins
        {2, 5, true, 1},  {3, 4, false, 2}, // from the sample before t0 to the first at or after t1
        {4, 99, true, 3}, {-5, 0, true, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(findExtremum(*s, Voltage, c.t0, c.t1, c.findMax), c.expected)
            << c.t0 << ".." << c.t1 << (c.findMax ? " max" : " min");
    WaveformData empty;
    EXPECT_EQ(findExtremum(empty, Voltage, 0, 10, true), -1);
}
