#include "waveform/statistics.h"

#include "app/base/helpers.h"
#include "waveform/waveformdata.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace kvq::waveform {

qint64 lastBefore(const WaveformData& store, qint64 t)
{
    const qint64* times = store.times();
    return qint64(std::lower_bound(times, times + store.count(), t) - times) - 1;
}

qint64 firstAtOrAfter(const WaveformData& store, qint64 t)
{
    const qint64* times = store.times();
    return qint64(std::lower_bound(times, times + store.count(), t) - times);
}

QJsonObject totalStatistics(const WaveformData& store, int channel)
{
    std::shared_lock<std::shared_mutex> lock(store.lock());
    const Statistics& stats = store.stats();
    const double sum = channel == Voltage   ? stats.voltageSum
                       : channel == Current ? stats.currentSum
                                            : stats.powerSum;
    const double average = stats.count > 0 ? sum / double(stats.count) : 0.0;
    float min = stats.minimum[size_t(channel)];
    if (min == Statistics::kNoMinimum)
        min = 0;
    const float max = stats.maximum[size_t(channel)];
    QJsonObject result;
    result.insert(QStringLiteral("average"), formatFixed4(average));
    result.insert(QStringLiteral("min"), formatFixed4(double(min)));
    result.insert(QStringLiteral("max"), formatFixed4(double(max)));
    result.insert(QStringLiteral("time"), formatElapsed(std::max<qint64>(store.lastTime(), 0), false, true));
    if (channel == Voltage)
        result.insert(QStringLiteral("vpp"), formatFixed4(double(max) - double(min)));
    return result;
}

WindowResult windowQuery(const WaveformData& store, int channel, qint64 t0, qint64 t1)
{
    WindowResult r;
    const qint64 n = store.channelCount(channel);
    if (n == 0 || store.count() == 0)
        return r;
    r.first = std::max<qint64>(lastBefore(store, t0), 0);
    r.last = t1 >= store.lastTime() ? store.count() - 1 : lastBefore(store, t1);
    r.last = std::min(r.last, n - 1);
    if (r.last < r.first)
        return r;
    r.found = true;
    const auto [lo, hi] = store.rangeMinMax(channel, r.first, r.last);
    r.min = lo;
    r.max = hi;
    r.sum = store.rangeSum(channel, r.first, r.last);
    return r;
}

QJsonObject intervalStatistics(const WaveformData& store, int channel, qint64 t0, qint64 t1)
{
    std::shared_lock<std::shared_mutex> lock(store.lock());
    double average = 0, min = 0, max = 0;
    const bool noData = store.count() == 0 || (t0 >= store.lastTime() && t1 >= store.lastTime());
    if (!noData) {
        const WindowResult r = windowQuery(store, channel, t0, t1);
        if (r.found) {
            min = double(r.min);
            max = double(r.max);
            average = r.sum / double(r.last - r.first + 1);
        }
    }
    QJsonObject result;
    result.insert(QStringLiteral("average"), formatFixed4(average));
    result.insert(QStringLiteral("min"), formatFixed4(min));
    result.insert(QStringLiteral("max"), formatFixed4(max));
    result.insert(QStringLiteral("time"), formatElapsed(t1 - t0, false, true));
    if (channel == Voltage)
        result.insert(QStringLiteral("vpp"), formatFixed4(max - min));
    return result;
}

qint64 findExtremum(const WaveformData& store, int channel, qint64 t0, qint64 t1, bool findMax)
{
    const qint64 n = store.channelCount(channel);
    if (n == 0)
        return -1;
    const qint64 first = store.headTime() < t0 ? lastBefore(store, t0) : 0;
    const qint64 last = t1 < store.lastTime() ? firstAtOrAfter(store, t1) : store.count() - 1;
    const qint64 from = std::max<qint64>(std::min(first, last), 0);
    const qint64 to = std::min(std::max(first, last), n - 1);
    if (from > to)
        return -1;
    const float* v = store.values(channel);
    qint64 best = from;
    for (qint64 i = from + 1; i <= to; ++i)
        if (findMax ? v[i] > v[best] : v[i] < v[best])
            best = i;
    return best;
}

} // namespace kvq::waveform
