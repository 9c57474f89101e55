#include "waveform/waveformdata.h"

#include "app/base/helpers.h"
#include "app/base/platform/platform.h"
#include "waveform/acquisition.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

namespace kvq::waveform {

const char* const kChannelKeys[ChannelCount] = {"voltage", "electric", "power",    "dup",    "ddown",
                                                "c1",      "c2",       "resistor", "energy", "capacity"};

int channelOfKey(const QString& key)
{
    for (int i = 0; i < ChannelCount; ++i)
        if (key == QLatin1String(kChannelKeys[i]))
            return i;
    return -1;
}

namespace {

float finiteOrZero(double value)
{
    return std::isfinite(value) ? float(value) : 0.0f;
}

bool isLineChannel(int channel)
{
    return channel >= DPlus && channel <= CC2;
}

// Minimum, maximum and sum of one block in a single pass. Eight independent
// lanes let the compiler keep vector registers busy; the lanes are folded at
// the end, so the result is the same as a plain loop's (the sum only differs
// in the order of its additions).
void blockStats(const float* v, qint64 n, float& lo, float& hi, double* sum)
{
    constexpr int kLanes = 8;
    float l[kLanes], h[kLanes];
    double s[kLanes] = {};
    for (int j = 0; j < kLanes; ++j)
        l[j] = h[j] = v[0];
    qint64 i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (int j = 0; j < kLanes; ++j) {
            const float x = v[i + j];
            l[j] = x < l[j] ? x : l[j];
            h[j] = x > h[j] ? x : h[j];
            if (sum)
                s[j] += double(x);
        }
    }
    for (; i < n; ++i) {
        l[0] = v[i] < l[0] ? v[i] : l[0];
        h[0] = v[i] > h[0] ? v[i] : h[0];
        s[0] += double(v[i]);
    }
    lo = l[0];
    hi = h[0];
    double total = s[0];
    for (int j = 1; j < kLanes; ++j) {
        lo = l[j] < lo ? l[j] : lo;
        hi = h[j] > hi ? h[j] : hi;
        total += s[j];
    }
    if (sum)
        *sum = total;
}

} // namespace

void Statistics::reset()
{
    count = 0;
    voltageSum = currentSum = powerSum = 0;
    minimum.fill(kNoMinimum);
    maximum.fill(0.0f);
}

void Summary::add(std::size_t level, float lo, float hi)
{
    for (;;) {
        if (mins.size() <= level) {
            mins.resize(level + 1);
            maxs.resize(level + 1);
        }
        std::vector<float>& lows = mins[level];
        std::vector<float>& highs = maxs[level];
        lows.push_back(lo);
        highs.push_back(hi);
        if (lows.size() % WaveformData::kFanOut != 0)
            return;
        lo = *std::min_element(lows.end() - WaveformData::kFanOut, lows.end());
        hi = *std::max_element(highs.end() - WaveformData::kFanOut, highs.end());
        ++level;
    }
}

void Summary::rebuildUpper()
{
    mins.resize(std::min<std::size_t>(mins.size(), 1));
    maxs.resize(mins.size());
    for (std::size_t level = 0; level < mins.size(); ++level) {
        const std::size_t groups = mins[level].size() / WaveformData::kFanOut;
        if (groups == 0)
            break;
        mins.emplace_back();
        maxs.emplace_back();
        for (std::size_t g = 0; g < groups; ++g) {
            const auto lo = mins[level].begin() + std::ptrdiff_t(g * WaveformData::kFanOut);
            const auto hi = maxs[level].begin() + std::ptrdiff_t(g * WaveformData::kFanOut);
            mins[level + 1].push_back(*std::min_element(lo, lo + WaveformData::kFanOut));
            maxs[level + 1].push_back(*std::max_element(hi, hi + WaveformData::kFanOut));
        }
    }
}

WaveformData::WaveformData(int autoSaveType, QObject* parent)
    : QObject(parent), m_autoSaveType(autoSaveType), m_startTime(QDateTime::currentDateTime())
{
    for (int c : {Voltage, Current, Power})
        m_styles[size_t(c)].visible = true;
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(50);
    connect(&m_refreshTimer, &QTimer::timeout, this, &WaveformData::onRefreshTimeout);
}

WaveformData::~WaveformData()
{
    emit destroy();
    if (m_autoSave)
        m_autoSave->close(*this);
}

void WaveformData::setAutoSave(std::unique_ptr<AutoSaveSink> sink)
{
    if (m_autoSave)
        m_autoSave->close(*this);
    m_autoSave = std::move(sink);
}

void WaveformData::flushAutoSave()
{
    if (m_autoSave)
        m_autoSave->flush(*this);
}

bool WaveformData::reserveOne(bool offline)
{
    // Eleven capacity checks per sample would be a good part of an append's
    // cost: remember how many appends every array can still take.
    if (m_room > 0) {
        --m_room;
        return true;
    }
    std::size_t room = std::size_t(-1);
    for (int c = 0; c < ChannelCount; ++c) {
        if (offline && isLineChannel(c))
            continue;
        GrowableArray<float>& values = m_values[size_t(c)];
        if (!values.reserveMore(1))
            return false;
        room = std::min(room, values.room());
    }
    if (!m_times.reserveMore(1))
        return false;
    m_room = std::min(room, m_times.room()) - 1;
    return true;
}

void WaveformData::reportAppendFailure()
{
    if (!m_appendFailed.exchange(true))
        emit sendSegmentLog(tr("内存不足，记录已停止，已记录的数据仍保留。"), 0);
}

void WaveformData::updateStats(const float (&v)[ChannelCount])
{
    ++m_stats.count;
    m_stats.voltageSum += double(v[Voltage]);
    m_stats.currentSum += double(v[Current]);
    m_stats.powerSum += double(v[Power]);
    // Branch-free, so that the ten channels compare as vectors.
    float* mx = m_stats.maximum.data();
    float* mn = m_stats.minimum.data();
    for (int c = 0; c < ChannelCount; ++c) {
        mx[c] = v[c] > mx[c] ? v[c] : mx[c];
        mn[c] = v[c] < mn[c] ? v[c] : mn[c];
    }
}

void WaveformData::summarizeLast(bool includeLines)
{
    const qint64 n = m_values[Voltage].size();
    if (n < kBlockSize)
        return;
    for (int c = 0; c < ChannelCount; ++c) {
        if (!includeLines && isLineChannel(c))
            continue;
        float lo, hi;
        double sum;
        blockStats(m_values[size_t(c)].data() + n - kBlockSize, kBlockSize, lo, hi, &sum);
        m_summaries[size_t(c)].add(0, lo, hi);
        m_summaries[size_t(c)].sums.push_back(sum);
    }
}

void WaveformData::setRate(int rate)
{
    m_rate = rate;
    if (rate > 0) {
        m_step = 1000 / rate;
        m_perHour = 1.0 / 3600.0 * (1.0 / rate);
    }
}

void WaveformData::applyRate(int rate)
{
    std::unique_lock<std::shared_mutex> lock(m_lock);
    setRate(rate);
    if (m_lastTime <= 0 && rate > 0)
        m_lastTime = -(1000 / rate);
}

void WaveformData::commonTail()
{
    // Count-downs instead of two 64-bit divisions per sample.
    ++m_sampleCounter;
    if (--m_untilMemoryCheck == 0) {
        m_untilMemoryCheck = kMemoryCheckEvery;
        const qint64 available = platform::availablePhysicalMemory();
        m_rolling = available >= 0 && available / (1024 * 1024) < 500;
    }
    if (--m_untilSummary == 0) {
        m_untilSummary = kBlockSize;
        summarizeLast(!m_offline);
    }
    if (!m_rolling || m_times.empty())
        return;
    m_headTime = m_times[0];
    ++m_dropped;
    for (auto& values : m_values)
        values.dropFront(1);
    m_times.dropFront(1);
    if (--m_rollCountdown == 0) {
        m_rollCountdown = kBlockSize;
        for (Summary& s : m_summaries) {
            if (s.mins.empty() || s.mins[0].empty() || s.maxs[0].empty())
                continue;
            s.mins[0].erase(s.mins[0].begin());
            s.maxs[0].erase(s.maxs[0].begin());
            if (!s.sums.empty())
                s.sums.erase(s.sums.begin());
            s.rebuildUpper();
        }
    }
}

void WaveformData::appendSample(float voltage, float current, float dPlus, float dMinus, float cc1, float cc2)
{
    const int rate = m_rate;
    if (rate <= 0)
        return;
    const qint64 step = m_step;
    const double power = finiteOrZero(double(voltage) * double(current));
    const double dE = finiteOrZero(power * m_perHour);
    const double dC = finiteOrZero(double(current) * m_perHour);
    bool failed = false;
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        if (m_appendFailed.load() || !reserveOne(false)) {
            failed = true;
        } else {
            m_lastTime += step;
            m_energyTotal += dE;
            m_capacityTotal += dC;
            const float v[ChannelCount] = {voltage,
                                           current,
                                           float(power),
                                           dPlus,
                                           dMinus,
                                           cc1,
                                           cc2,
                                           finiteOrZero(double(voltage) / double(current)),
                                           float(m_energyTotal),
                                           float(m_capacityTotal)};
            for (int c = 0; c < ChannelCount; ++c)
                m_values[size_t(c)].pushUnchecked(v[c]);
            m_times.pushUnchecked(m_lastTime);
            updateStats(v);
            commonTail();
        }
    }
    if (failed) {
        reportAppendFailure();
        return;
    }
    requestRefresh();
    StopCondition& stop = acquisition().stop;
    if (stop.type.load(std::memory_order_relaxed) != 0 &&
        checkStopCondition(stop, voltage, current, QDateTime::currentMSecsSinceEpoch()))
        emit trigStop();
}

void WaveformData::appendVoltageCurrent(float voltage, float current)
{
    const float power = finiteOrZero(double(voltage) * double(current));
    const float resistance = finiteOrZero(double(voltage) / double(current));
    bool failed = false;
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        if (m_appendFailed.load() || !reserveOne(true)) {
            failed = true;
        } else {
            m_lastTime += m_offlinePeriod;
            const float stored[ChannelCount] = {voltage,
                                                current,
                                                power,
                                                0,
                                                0,
                                                0,
                                                0,
                                                resistance,
                                                float(m_energyTotal),
                                                float(m_capacityTotal)};
            for (int c = 0; c < ChannelCount; ++c)
                if (!isLineChannel(c))
                    m_values[size_t(c)].pushUnchecked(stored[c]);
            m_times.pushUnchecked(m_lastTime);
            ++m_sampleCounter;
            if (--m_untilSummary == 0) {
                m_untilSummary = kBlockSize;
                summarizeLast(false);
            }
            const float counted[ChannelCount] = {voltage, current, power, 0, 0, 0, 0, resistance, 0, 0};
            updateStats(counted);
        }
    }
    if (failed)
        reportAppendFailure();
    else
        requestRefresh();
}

void WaveformData::appendStoredSample(double voltage, double current, double power, double dPlus,
                                      double dMinus, double cc1, double cc2, double resistance, double energy,
                                      double capacity, qint64 time)
{
    bool failed = false;
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        if (time < m_lastTime)
            return;
        if (m_appendFailed.load() || !reserveOne(false)) {
            failed = true;
        } else {
            m_lastTime = time;
            const float v[ChannelCount] = {float(voltage), float(current), float(power), float(dPlus),
                                           float(dMinus),  float(cc1),     float(cc2),   float(resistance),
                                           float(energy),  float(capacity)};
            for (int c = 0; c < ChannelCount; ++c)
                m_values[size_t(c)].pushUnchecked(v[c]);
            m_times.pushUnchecked(time);
            updateStats(v);
            commonTail();
        }
    }
    if (failed)
        reportAppendFailure();
}

void WaveformData::rebuildSummaries()
{
    std::unique_lock<std::shared_mutex> lock(m_lock);
    for (int c = 0; c < ChannelCount; ++c) {
        Summary& s = m_summaries[size_t(c)];
        s.clear();
        const GrowableArray<float>& values = m_values[size_t(c)];
        const qint64 blocks = values.size() / kBlockSize;
        if (blocks == 0)
            continue;
        // Level 0 in one pass, then the upper levels from it.
        s.mins.resize(1);
        s.maxs.resize(1);
        s.mins[0].resize(size_t(blocks));
        s.maxs[0].resize(size_t(blocks));
        s.sums.resize(size_t(blocks));
        const float* v = values.data();
        for (qint64 k = 0; k < blocks; ++k)
            blockStats(v + k * kBlockSize, kBlockSize, s.mins[0][size_t(k)], s.maxs[0][size_t(k)],
                       &s.sums[size_t(k)]);
        s.rebuildUpper();
    }
}

std::pair<float, float> WaveformData::rangeMinMax(int channel, qint64 a, qint64 b) const
{
    if (channel < 0 || channel >= ChannelCount)
        return {0, 0};
    if (b < a)
        std::swap(a, b);
    const GrowableArray<float>& values = m_values[size_t(channel)];
    const qint64 n = values.size();
    a = std::max<qint64>(a, 0);
    if (n == 0 || b < 0)
        return {0, 0};
    // The range is bounded by the sample count: comparing indexes with the last
    // time stamp (milliseconds) would turn the newest samples into "no data".
    b = std::min(b, n - 1);
    if (a >= n)
        return {0, 0};
    const float* v = values.data();
    if (a == b)
        return {v[a], v[a]};

    const Summary& s = m_summaries[size_t(channel)];
    float lo = std::numeric_limits<float>::max();
    float hi = -std::numeric_limits<float>::max();
    const int levels = int(std::min(s.mins.size(), s.maxs.size()));
    qint64 d = a;
    while (d <= b) {
        bool folded = false;
        qint64 size = qint64(kBlockSize);
        for (int j = 1; j < levels; ++j)
            size *= kFanOut;
        for (int j = levels - 1; j >= 0; --j, size /= kFanOut) {
            if (d % size != 0 || d + size - 1 > b)
                continue;
            const qint64 entry = d / size;
            if (entry >= qint64(s.mins[size_t(j)].size()) || entry >= qint64(s.maxs[size_t(j)].size()))
                continue;
            lo = std::min(lo, s.mins[size_t(j)][size_t(entry)]);
            hi = std::max(hi, s.maxs[size_t(j)][size_t(entry)]);
            d += size;
            folded = true;
            break;
        }
        if (folded)
            continue;
        const qint64 end = std::min(b, std::max(d, d / kBlockSize * kBlockSize + kBlockSize - 1));
        for (; d <= end; ++d) {
            lo = v[d] < lo ? v[d] : lo;
            hi = v[d] > hi ? v[d] : hi;
        }
    }
    return {lo, hi};
}

double WaveformData::rangeSum(int channel, qint64 a, qint64 b) const
{
    if (channel < 0 || channel >= ChannelCount)
        return 0;
    if (b < a)
        std::swap(a, b);
    const GrowableArray<float>& values = m_values[size_t(channel)];
    const qint64 n = values.size();
    a = std::max<qint64>(a, 0);
    b = std::min(b, n - 1);
    if (n == 0 || a > b)
        return 0;
    const float* v = values.data();
    const std::vector<double>& sums = m_summaries[size_t(channel)].sums;
    double total = 0;
    qint64 d = a;
    // Whole 500-blocks from their sums while the block grid lines up with the
    // sample positions (rolling mode shifts it), the ragged ends sample by sample.
    const bool aligned = m_dropped % kBlockSize == 0;
    while (d <= b) {
        const qint64 block = d / kBlockSize;
        if (aligned && d % kBlockSize == 0 && d + kBlockSize - 1 <= b && block < qint64(sums.size())) {
            total += sums[size_t(block)];
            d += kBlockSize;
        } else {
            total += double(v[d]);
            ++d;
        }
    }
    return total;
}

void WaveformData::clearData()
{
    flushAutoSave();
    qint64 last = 0;
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        last = m_times.empty() ? 0 : m_times.back();
        for (auto& values : m_values)
            values.clear();
        m_times.clear();
        for (Summary& s : m_summaries)
            s.clear();
        m_stats.reset();
        m_energyTotal = m_capacityTotal = 0;
        m_sampleCounter = 0;
        m_untilMemoryCheck = kMemoryCheckEvery;
        m_untilSummary = kBlockSize;
        m_headTime = 0;
        m_lastTime = 0;
        // The recording goes on in the same file: count from the empty store again.
        savedRows = 0;
        m_rollCountdown = kBlockSize;
        m_rolling = false;
        m_dropped = 0;
        m_room = 0;
        m_appendFailed = false;
    }
    if (last > 0)
        timeOffset += last;
    emit waveformDataChanged();
}

void WaveformData::requestRefresh()
{
    // A plain load first: at thousands of samples per second nearly every call
    // finds an expiry already on its way, and a load costs far less than an exchange.
    if (m_refreshQueued.load(std::memory_order_relaxed) || m_refreshQueued.exchange(true))
        return; // one expiry already on its way
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_refreshTimer.isActive())
                m_refreshTimer.start();
        },
        Qt::QueuedConnection);
}

void WaveformData::onRefreshTimeout()
{
    m_refreshQueued = false;
    emit waveformDataChanged();
    if (++m_refreshTicks > 10) {
        flushAutoSave();
        m_refreshTicks = 0;
    }
}

} // namespace kvq::waveform
