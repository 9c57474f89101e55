// Sample store and capture store: append rate, summary rebuild against a bare
// min/max pass, range queries on 100 million samples against a direct scan,
// memory per sample, and capture writes and compaction.
#include "waveform/segment.h"
#include "waveform/waveformdata.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

using namespace kvq::waveform;

namespace {

// VmRSS / VmHWM of this process in bytes.
long long procStatus(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).simplified().split(' ').first().toLongLong() * 1024;
    return -1;
}

constexpr long long kBig = 100000000;

// One 100-million-sample live store for the range benchmarks, built once.
WaveformData& bigStore(long long* rssGrowth = nullptr, long long* peakGrowth = nullptr)
{
    static long long growth = 0, peak = 0;
    static std::unique_ptr<WaveformData> store = [] {
        const long long before = procStatus("VmRSS:");
        auto s = std::make_unique<WaveformData>();
        s->setRate(1000);
        s->setLastTime(-1);
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
        for (long long i = 0; i < kBig; ++i)
            s->appendSample(5.0f + noise(rng) + float(i % 100000) * 1e-5f, 1.0f, 0.6f, 0.6f, 1.7f, 0.0f);
        growth = procStatus("VmRSS:") - before;
        peak = procStatus("VmHWM:") - before;
        return s;
    }();
    if (rssGrowth)
        *rssGrowth = growth;
    if (peakGrowth)
        *peakGrowth = peak;
    return *store;
}

void BM_LiveAppend(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto s = std::make_unique<WaveformData>();
        s->setRate(1000);
        s->setLastTime(-1);
        state.ResumeTiming();
        for (int i = 0; i < 1000000; ++i)
            s->appendSample(5.0f + float(i & 1023) * 1e-4f, 1.5f, 0.6f, 0.6f, 1.7f, 0.0f);
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_LiveAppend)->Unit(benchmark::kMillisecond);

// A loaded file of 10 million rows: the summary rebuild and a bare min/max
// pass over the same ten channels.
WaveformData& loadedStore()
{
    static std::unique_ptr<WaveformData> store = [] {
        auto s = std::make_unique<WaveformData>();
        std::mt19937 rng(2);
        std::uniform_real_distribution<float> v(0, 20);
        for (int i = 0; i < 10000000; ++i)
            s->appendStoredSample(v(rng), v(rng), v(rng), v(rng), v(rng), v(rng), v(rng), v(rng), v(rng),
                                  v(rng), i);
        return s;
    }();
    return *store;
}

void BM_RebuildSummaries(benchmark::State& state)
{
    WaveformData& s = loadedStore();
    for (auto _ : state)
        s.rebuildSummaries();
    state.SetItemsProcessed(state.iterations() * s.count() * ChannelCount);
}
BENCHMARK(BM_RebuildSummaries)->Unit(benchmark::kMillisecond);

void BM_BareMinMaxPass(benchmark::State& state)
{
    WaveformData& s = loadedStore();
    for (auto _ : state) {
        for (int c = 0; c < ChannelCount; ++c) {
            const float* v = s.values(c);
            float lo = v[0], hi = v[0];
            for (qint64 i = 1; i < s.count(); ++i) {
                lo = v[i] < lo ? v[i] : lo;
                hi = v[i] > hi ? v[i] : hi;
            }
            benchmark::DoNotOptimize(lo);
            benchmark::DoNotOptimize(hi);
        }
    }
    state.SetItemsProcessed(state.iterations() * s.count() * ChannelCount);
}
BENCHMARK(BM_BareMinMaxPass)->Unit(benchmark::kMillisecond);

std::vector<std::pair<qint64, qint64>> randomRanges(int n)
{
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<qint64> pos(0, kBig - 1);
    std::vector<std::pair<qint64, qint64>> ranges;
    for (int i = 0; i < n; ++i)
        ranges.emplace_back(pos(rng), pos(rng));
    return ranges;
}

void BM_RangeMinMax100M(benchmark::State& state)
{
    long long rss = 0, peak = 0;
    WaveformData& s = bigStore(&rss, &peak);
    const auto ranges = randomRanges(4096);
    size_t i = 0;
    for (auto _ : state) {
        const auto& [a, b] = ranges[i++ & 4095];
        benchmark::DoNotOptimize(s.rangeMinMax(Voltage, a, b));
    }
    state.counters["rss_bytes_per_sample"] = double(rss) / double(kBig);
    state.counters["peak_growth_bytes_per_sample"] = double(peak) / double(kBig);
}
BENCHMARK(BM_RangeMinMax100M)->Unit(benchmark::kMicrosecond);

void BM_DirectScan100M(benchmark::State& state)
{
    WaveformData& s = bigStore();
    const auto ranges = randomRanges(4096);
    size_t i = 0;
    for (auto _ : state) {
        auto [a, b] = ranges[i++ & 4095];
        if (b < a)
            std::swap(a, b);
        const float* v = s.values(Voltage);
        float lo = v[a], hi = v[a];
        for (qint64 k = a + 1; k <= b; ++k) {
            lo = v[k] < lo ? v[k] : lo;
            hi = v[k] > hi ? v[k] : hi;
        }
        benchmark::DoNotOptimize(lo);
        benchmark::DoNotOptimize(hi);
    }
}
BENCHMARK(BM_DirectScan100M)->Unit(benchmark::kMicrosecond);

void BM_SegmentWriteMapped(benchmark::State& state)
{
    QTemporaryDir cache;
    // 251 bytes: one capture report's payload; 65536: a protocol file being loaded.
    std::vector<uint8_t> chunk(size_t(state.range(0)), 0x5A);
    for (auto _ : state) {
        state.PauseTiming();
        auto segment = std::make_unique<Segment>();
        segment->setMemoryDir(cache.path());
        state.ResumeTiming();
        qint64 pos = 0;
        while (pos < (256LL << 20)) { // 256 MiB of capture
            segment->writeBytes(0, pos, chunk.data(), qint64(chunk.size()), false);
            pos += qint64(chunk.size());
        }
        state.PauseTiming();
        if (!segment->usesMapping())
            state.SkipWithError("mapping failed: heap buffers measured");
        segment.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * (256LL << 20));
}
BENCHMARK(BM_SegmentWriteMapped)->Arg(251)->Arg(65536)->Unit(benchmark::kMillisecond);

void BM_CompactConstantBuffer(benchmark::State& state)
{
    QTemporaryDir cache;
    Segment segment;
    segment.setMemoryDir(cache.path());
    std::vector<uint8_t> zeros(Segment::kBufferBytes, 0);
    for (auto _ : state) {
        state.PauseTiming();
        segment.writeBytes(0, 0, zeros.data(), Segment::kBufferBytes, false);
        state.ResumeTiming();
        segment.compactBuffer(0, 0, 0);
    }
}
BENCHMARK(BM_CompactConstantBuffer)->Unit(benchmark::kMicrosecond);

} // namespace
