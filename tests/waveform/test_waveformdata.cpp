#include "app/base/helpers.h"
#include "app/base/platform/platform.h"
#include "testsupport.h"
#include "waveform/acquisition.h"
#include "waveform/statistics.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

using namespace kvq;
using namespace kvq::waveform;

namespace {

std::unique_ptr<WaveformData> liveStore(int rate)
{
    auto store = std::make_unique<WaveformData>();
    store->setRate(rate);
    store->setLastTime(-(1000 / rate));
    return store;
}

void appendConstant(WaveformData& s, qint64 n, float v = 5.0f, float i = 2.0f)
{
    for (qint64 k = 0; k < n; ++k)
        s.appendSample(v, i, 0.6f, 0.6f, 1.68f, 0.0f);
}

std::pair<float, float> scan(const WaveformData& s, int channel, qint64 a, qint64 b)
{
    if (b < a)
        std::swap(a, b);
    const qint64 n = s.channelCount(channel);
    a = std::max<qint64>(a, 0);
    if (n == 0 || b < 0 || a >= n)
        return {0, 0};
    b = std::min(b, n - 1);
    const float* v = s.values(channel);
    auto [lo, hi] = std::minmax_element(v + a, v + b + 1);
    return {*lo, *hi};
}

// Restores the real memory figure however a test ends.
struct MemoryOverride {
    explicit MemoryOverride(qint64 bytes) { platform::setAvailableMemoryOverride(bytes); }
    ~MemoryOverride() { platform::setAvailableMemoryOverride(-1); }
};

} // namespace

TEST(WaveformData, LiveTimesFollowTheRate)
{
    const struct {
        int rate;
        std::vector<qint64> firstTimes;
    } cases[] = {{1000, {0, 1, 2}}, {2, {0, 500, 1000}}, {4, {0, 250, 500}}, {500, {0, 2, 4}}};
    for (const auto& c : cases) {
        auto s = liveStore(c.rate);
        appendConstant(*s, 1000);
        EXPECT_EQ(std::vector<qint64>(s->times(), s->times() + 3), c.firstTimes) << c.rate;
        EXPECT_EQ(s->lastTime(), 999 * (1000 / c.rate)) << c.rate;
    }
    auto none = liveStore(1000);
    none->setRate(0);
    none->appendSample(5, 1, 0, 0, 0, 0);
    EXPECT_EQ(none->count(), 0); // a rate of 0 takes nothing
}

TEST(WaveformData, DerivedChannels)
{
    auto s = liveStore(1000);
    s->appendSample(5.0f, 0.0f, 0.6f, 0.5f, 1.7f, 0.1f);
    s->appendSample(5.0f, 2.0f, 0.6f, 0.5f, 1.7f, 0.1f);
    EXPECT_EQ(s->values(Resistance)[0], 0.0f); // no current: resistance 0, not infinity
    EXPECT_EQ(s->values(Capacity)[0], 0.0f);
    EXPECT_FLOAT_EQ(s->values(Power)[1], 10.0f);
    EXPECT_FLOAT_EQ(s->values(Resistance)[1], 2.5f);
    EXPECT_FLOAT_EQ(s->values(CC2)[1], 0.1f);
    EXPECT_EQ(s->stats().count, 2);
    EXPECT_FLOAT_EQ(s->stats().minimum[Current], 0.0f);
    EXPECT_FLOAT_EQ(s->stats().maximum[Power], 10.0f);
}

TEST(WaveformData, OneHourAtFiveVoltsTwoAmpsIsTenWattHours)
{
    auto s = liveStore(1000);
    appendConstant(*s, 3600000);
    EXPECT_NEAR(s->energyTotal(), 10.0, 1e-6);
    EXPECT_NEAR(s->capacityTotal(), 2.0, 1e-7);
    EXPECT_NEAR(s->values(Energy)[s->count() - 1], 10.0f, 1e-4);
}

TEST(WaveformData, StoredSamplesKeepTimeOrder)
{
    const struct {
        std::vector<qint64> given;
        std::vector<qint64> kept;
    } cases[] = {{{0, 10, 5, 20}, {0, 10, 20}}, {{0, 10, 10, 11}, {0, 10, 10, 11}}, {{-5, 0}, {0}}};
    for (const auto& c : cases) {
        WaveformData s;
        for (qint64 t : c.given)
            s.appendStoredSample(1, 2, 2, 0, 0, 0, 0, 0.5, 0, 0, t);
        EXPECT_EQ(std::vector<qint64>(s.times(), s.times() + s.count()), c.kept);
    }
}

TEST(WaveformData, PyramidLevels)
{
    const struct {
        qint64 samples;
        size_t level0;
        size_t level1;
        size_t level2;
    } cases[] = {{499, 0, 0, 0}, {500, 1, 0, 0}, {3999, 7, 0, 0}, {4000, 8, 1, 0}, {32000, 64, 8, 1}};
    for (const auto& c : cases) {
        auto s = liveStore(1000);
        appendConstant(*s, c.samples);
        const Summary& sum = s->summary(Voltage);
        const auto sizeAt = [&sum](size_t j) { return j < sum.mins.size() ? sum.mins[j].size() : size_t(0); };
        EXPECT_EQ(sizeAt(0), c.level0) << c.samples;
        EXPECT_EQ(sizeAt(1), c.level1) << c.samples;
        EXPECT_EQ(sizeAt(2), c.level2) << c.samples;
    }
}

TEST(WaveformData, RangeQueryAgreesWithAScan)
{
    WaveformData s;
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0, 1);
    const qint64 n = 70000;
    for (qint64 i = 0; i < n; ++i)
        s.appendStoredSample(5 + noise(rng), 1 + noise(rng), 0, 0, 0, 0, 0, 0, 0, 0, i);
    s.rebuildSummaries();
    std::uniform_int_distribution<qint64> pos(-1000, n + 1000);
    for (int i = 0; i < 3000; ++i) {
        const qint64 a = pos(rng), b = pos(rng);
        EXPECT_EQ(s.rangeMinMax(Voltage, a, b), scan(s, Voltage, a, b)) << a << ".." << b;
    }
    const struct {
        qint64 a, b;
        std::pair<float, float> expected;
    } edges[] = {{-10, -1, {0, 0}},
                 {n, n + 5, {0, 0}},
                 {5, 5, scan(s, Voltage, 5, 5)},
                 {0, 4999, scan(s, Voltage, 0, 4999)},
                 {n - 1, n + 100, scan(s, Voltage, n - 1, n - 1)}};
    for (const auto& e : edges)
        EXPECT_EQ(s.rangeMinMax(Voltage, e.a, e.b), e.expected) << e.a << ".." << e.b;
    EXPECT_EQ(WaveformData().rangeMinMax(Voltage, 0, 10), (std::pair<float, float>(0, 0)));
    EXPECT_EQ(s.rangeMinMax(42, 0, 10), (std::pair<float, float>(0, 0)));
}

TEST(WaveformData, OfflineRecordLeavesTheLineChannelsEmpty)
{
    WaveformData s;
    s.setOffline(true, 1000, 0);
    s.setLastTime(-1000);
    s.setEnergyTotal(1.5);
    for (int i = 0; i < 100; ++i)
        s.appendVoltageCurrent(9.0f, 1.0f);
    for (int c = 0; c < ChannelCount; ++c)
        EXPECT_EQ(s.channelCount(c), (c >= DPlus && c <= CC2) ? 0 : 100) << c;
    EXPECT_EQ(s.times()[99], 99000);
    EXPECT_FLOAT_EQ(s.values(Energy)[99], 1.5f); // energy and capacity stay as the record gave them
    EXPECT_EQ(s.summary(Voltage).mins.size(), 0u);
}

TEST(WaveformData, RollingModeKeepsTheLengthWhileMemoryIsLow)
{
    auto s = liveStore(1000);
    {
        MemoryOverride low(400LL << 20);
        appendConstant(*s, 1499);
        EXPECT_FALSE(s->isRolling()); // not checked before the 1500th sample
        appendConstant(*s, 1);
        EXPECT_TRUE(s->isRolling());
        EXPECT_EQ(s->count(), 1499);
        EXPECT_EQ(s->headTime(), 0);
        appendConstant(*s, 600);
        EXPECT_EQ(s->count(), 1499);
        EXPECT_EQ(s->times()[0], 601);
        EXPECT_EQ(s->headTime(), 600);
        EXPECT_EQ(s->summary(Voltage).mins[0].size(), 3u); // 4 blocks summarised, the first dropped
    }
    appendConstant(*s, 1500); // the next check finds memory again
    EXPECT_FALSE(s->isRolling());
    EXPECT_GT(s->count(), 1499);
}

TEST(WaveformData, StopConditionArmsWaitsAndFires)
{
    // Voltage below 4.0 V for 2000 ms; each step is (ms since the first sample, volts, fires).
    const struct {
        const char* name;
        std::vector<std::tuple<qint64, float, bool>> steps;
    } cases[] = {
        {"fires after the wait",
         {{0, 3.9f, false}, {1000, 5.0f, false}, {1999, 5.0f, false}, {2000, 3.9f, true}}},
        {"disarmed by a good sample",
         {{0, 3.9f, false},
          {2000, 4.1f, false},
          {2500, 3.9f, false},
          {4000, 3.9f, false},
          {4500, 3.9f, true}}},
        {"never met", {{0, 5.0f, false}, {3000, 5.0f, false}}},
    };
    for (const auto& c : cases) {
        StopCondition stop;
        stop.type = 3;
        stop.threshold = 4.0;
        stop.durationMs = 2000;
        const qint64 base = 1700000000000;
        for (const auto& [at, volts, fires] : c.steps)
            EXPECT_EQ(checkStopCondition(stop, volts, 1.0f, base + at), fires) << c.name << " at " << at;
    }
    StopCondition power;
    power.type = 1;
    power.threshold = 10.0;
    EXPECT_FALSE(checkStopCondition(power, 5.0f, 1.0f, 100)); // 5 W arms
    EXPECT_TRUE(checkStopCondition(power, 5.0f, 1.0f, 101));  // no wait: fires on the next
    StopCondition off;
    EXPECT_FALSE(checkStopCondition(off, 0, 0, 1));
}

TEST(WaveformData, LiveStoreEmitsTrigStop)
{
    auto s = liveStore(1000);
    QSignalSpy stop(s.get(), &WaveformData::trigStop);
    acquisition().stop.type = 2;
    acquisition().stop.threshold = 0.5;
    acquisition().stop.durationMs = 0;
    s->appendSample(5, 0.1f, 0, 0, 0, 0);
    s->appendSample(5, 0.1f, 0, 0, 0, 0);
    acquisition().stop.type = 0;
    acquisition().stop.armedAtMs = 0;
    EXPECT_EQ(stop.count(), 1);
}

TEST(WaveformData, ClearCarriesTheTimeOffset)
{
    auto s = liveStore(1000);
    appendConstant(*s, 10000);
    QSignalSpy changed(s.get(), &WaveformData::waveformDataChanged);
    s->clearData();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(s->count(), 0);
    EXPECT_EQ(s->timeOffset, 9999);
    EXPECT_EQ(s->stats().count, 0);
    EXPECT_EQ(s->stats().minimum[Voltage], Statistics::kNoMinimum);
    EXPECT_EQ(s->energyTotal(), 0);
    appendConstant(*s, 1);
    EXPECT_EQ(s->times()[0], 1);
}

TEST(WaveformData, FailedGrowthStopsAppendingOnceAndKeepsTheData)
{
    auto s = liveStore(1000);
    appendConstant(*s, 1000);
    const qint64 held = s->count();
    QSignalSpy log(s.get(), &WaveformData::sendSegmentLog);
    setGrowableArrayLimit(growableArrayBytes()); // no further growth anywhere
    appendConstant(*s, 200000);
    setGrowableArrayLimit(-1);
    EXPECT_TRUE(s->appendFailed());
    ASSERT_EQ(log.count(), 1);
    EXPECT_EQ(log[0][1].toInt(), 0);
    EXPECT_GE(s->count(), held);
    const qint64 n = s->count();
    for (int c = 0; c < ChannelCount; ++c)
        EXPECT_EQ(s->channelCount(c), n); // all arrays still agree
    EXPECT_EQ(s->times()[n - 1], n - 1);
    appendConstant(*s, 10); // stays stopped
    EXPECT_EQ(s->count(), n);
}

TEST(WaveformData, RefreshesAreCoalescedAndFeedTheRecorder)
{
    auto s = liveStore(1000);
    int flushes = 0;
    struct Counter : AutoSaveSink {
        int* flushes;
        explicit Counter(int* f) : flushes(f) {}
        void flush(WaveformData&) override { ++*flushes; }
        void close(WaveformData&) override {}
    };
    s->setAutoSave(std::make_unique<Counter>(&flushes));
    QSignalSpy changed(s.get(), &WaveformData::waveformDataChanged);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 700) { // about 14 expiries of the 50 ms timer
        std::thread producer([&] { appendConstant(*s, 50); });
        producer.join();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    EXPECT_GE(changed.count(), 4);  // it kept refreshing (a loaded machine may delay expiries)
    EXPECT_LE(changed.count(), 15); // at most one per 50 ms
    EXPECT_EQ(flushes, changed.count() / 11);
}

// One thread appends, one reads ranges under the read lock, one retires the
// store the way the session controller does.
TEST(WaveformData, ConcurrentAppendQueryAndRetire)
{
    auto* store = new WaveformData;
    store->setRate(1000);
    store->setLastTime(-1);
    std::atomic<bool> appending{true};
    std::thread producer([&] {
        const StoreHold use = store->hold();
        for (int i = 0; use && i < 200000 && !store->closing.load(); ++i)
            store->appendSample(5.0f + float(i % 100) / 100.0f, 1.0f, 0.6f, 0.6f, 1.7f, 0.0f);
        appending = false;
    });
    std::thread reader([&] {
        const StoreHold use = store->hold();
        if (!use)
            return;
        std::mt19937 rng(3);
        while (!store->closing.load()) {
            std::shared_lock<std::shared_mutex> lock(store->lock());
            const qint64 n = store->count();
            if (n < 2)
                continue;
            std::uniform_int_distribution<qint64> pos(0, n - 1);
            const auto [lo, hi] = store->rangeMinMax(Voltage, pos(rng), pos(rng));
            ASSERT_LE(lo, hi);
            ASSERT_GE(lo, 5.0f);
            ASSERT_LE(hi, 6.0f);
            const WindowResult w = windowQuery(*store, Voltage, pos(rng), pos(rng));
            if (w.found) {
                ASSERT_LE(w.min, w.max);
                ASSERT_GE(w.sum, 5.0 * double(w.last - w.first + 1) - 1e-3);
            }
        }
    });
    std::thread retire([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        store->closeAndWait();
        EXPECT_FALSE(store->hold()); // no new use once retiring
    });
    retire.join();
    producer.join();
    reader.join();
    EXPECT_FALSE(store->isInUse());
    delete store;
}
