#pragma once

// One recording of the meter: ten float channels and their time stamps, a
// min-max pyramid per channel for drawing any zoom level quickly, running
// statistics, display styles and the stop-condition check. Appends run on the
// producer's thread under the write lock; readers take the read lock.

#include "app/base/usecount.h"
#include "waveform/growablearray.h"

#include <QColor>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <vector>

namespace kvq::waveform {

using kvq::Hold;
using kvq::UseCount;

enum Channel {
    Voltage = 0,
    Current = 1, // "electric"
    Power = 2,
    DPlus = 3,      // "dup"
    DMinus = 4,     // "ddown"
    CC1 = 5,        // "c1"
    CC2 = 6,        // "c2"
    Resistance = 7, // "resistor"
    Energy = 8,
    Capacity = 9,
    ChannelCount = 10,
};

// The channel keys used between native code and QML and as file columns.
extern const char* const kChannelKeys[ChannelCount];
int channelOfKey(const QString& key); // -1 when unknown

struct ChannelStyle {
    bool visible = false;
    QColor colour = QColor(0, 0, 0);
    quint8 lineWidth = 1;
    bool shadow = false;
};

// Running statistics over every sample appended since the last clear.
struct Statistics {
    qint64 count = 0;
    double voltageSum = 0;
    double currentSum = 0;
    double powerSum = 0;
    std::array<float, ChannelCount> minimum;
    std::array<float, ChannelCount> maximum;
    Statistics() { reset(); }
    void reset();
    static constexpr float kNoMinimum = 99999.0f; // minimum before any value
};

// Min-max summary of one channel: level 0 covers 500 samples per entry, each
// higher level 8 entries of the one below.
struct Summary {
    std::vector<std::vector<float>> mins;
    std::vector<std::vector<float>> maxs;
    std::vector<double> sums; // level 0 only: the sum of each 500-sample block
    void clear()
    {
        mins.clear();
        maxs.clear();
        sums.clear();
    }
    void add(std::size_t level, float lo, float hi);
    void rebuildUpper();
};

class WaveformData;

// The automatic recording of a store (CSV or SQLite file), written in batches.
class AutoSaveSink {
public:
    virtual ~AutoSaveSink() = default;
    virtual void flush(WaveformData& store) = 0;
    virtual void close(WaveformData& store) = 0;
    // Rows the file holds for sure (complete CSV rows, committed SQLite rows).
    qint64 rowsInFile() const { return m_rowsInFile; }
    // A write failed: the file was cut back to rowsInFile and is closed.
    bool failed() const { return m_failed; }

protected:
    qint64 m_rowsInFile = 0;
    bool m_failed = false;
};

class WaveformData : public QObject {
    Q_OBJECT

public:
    static constexpr int kBlockSize = 500;
    static constexpr int kFanOut = 8;
    static constexpr int kMemoryCheckEvery = 1500;

    explicit WaveformData(int autoSaveType = 0, QObject* parent = nullptr);
    ~WaveformData() override;

    // Producers (any thread; each takes the write lock).
    void appendSample(float voltage, float current, float dPlus, float dMinus, float cc1, float cc2);
    void appendVoltageCurrent(float voltage, float current);
    void appendStoredSample(double voltage, double current, double power, double dPlus, double dMinus,
                            double cc1, double cc2, double resistance, double energy, double capacity,
                            qint64 time);
    void rebuildSummaries();

    // GUI thread.
    void clearData();
    void requestRefresh();

    // Readers hold the read lock (shared) while they use anything below.
    std::shared_mutex& lock() const { return m_lock; }
    qint64 count() const { return m_times.size(); }
    qint64 channelCount(int channel) const { return m_values[size_t(channel)].size(); }
    const float* values(int channel) const { return m_values[size_t(channel)].data(); }
    const qint64* times() const { return m_times.data(); }
    // The ten channel values of sample i; channels not stored (the lines of
    // an offline record) read 0. The caller holds the read lock.
    void row(qint64 i, float (&values)[ChannelCount]) const
    {
        for (int c = 0; c < ChannelCount; ++c)
            values[c] = i < m_values[size_t(c)].size() ? m_values[size_t(c)][i] : 0.0f;
    }
    const Summary& summary(int channel) const { return m_summaries[size_t(channel)]; }
    const Statistics& stats() const { return m_stats; }
    // (min, max) of a channel over sample indexes [first, last].
    std::pair<float, float> rangeMinMax(int channel, qint64 first, qint64 last) const;
    // Sum of a channel over sample indexes [first, last], clamped to the data.
    double rangeSum(int channel, qint64 first, qint64 last) const;

    qint64 lastTime() const { return m_lastTime; }
    // These setters take the write lock: the reader may be appending.
    void setLastTime(qint64 time)
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        m_lastTime = time;
    }
    qint64 headTime() const { return m_headTime; }
    int rate() const { return m_rate; }
    void setRate(int rate);
    // Rate change of a live store: under the write lock, and a store that has
    // no sample yet moves its clock so that the next sample gets time 0.
    void applyRate(int rate);
    double energyTotal() const { return m_energyTotal; }
    void setEnergyTotal(double wh)
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        m_energyTotal = wh;
    }
    double capacityTotal() const { return m_capacityTotal; }
    void setCapacityTotal(double ah)
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        m_capacityTotal = ah;
    }
    bool isOffline() const { return m_offline; }
    void setOffline(bool offline, int periodMs, int format)
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        m_offline = offline;
        m_offlinePeriod = periodMs;
        m_offlineFormat = quint8(format);
    }
    int offlinePeriod() const { return m_offlinePeriod; }
    int offlineFormat() const { return m_offlineFormat; }
    bool direction() const { return m_direction.load(); }
    void setDirection(bool reverse) { m_direction = reverse; }
    bool isRolling() const { return m_rolling; }
    bool appendFailed() const { return m_appendFailed.load(); }
    QDateTime startTime() const { return m_startTime; }
    void setStartTime(const QDateTime& time) { m_startTime = time; }
    const std::array<ChannelStyle, ChannelCount>& styles() const { return m_styles; }
    void setStyle(int channel, const ChannelStyle& style) { m_styles[size_t(channel)] = style; }
    int autoSaveType() const { return m_autoSaveType; }

    // Alarm states (0 inside, 1 above, 2 below) of voltage, current and power,
    // used by the alarm evaluation only (reader thread; the GUI resets them).
    std::array<std::atomic<int>, 3> alarmState{};

    // Retirement: the view and the file worker stop using a closing store.
    std::atomic<bool> closing{false};
    // A use of the store for as long as the hold lives; empty once retiring.
    Hold<WaveformData> hold() { return Hold<WaveformData>(this, m_useCount); }
    // Retirement: no new holds, wait for the running ones (they end on
    // `closing`), then the store may be deleted.
    bool isInUse() const { return m_useCount.load() > 0; }
    void closeAndWait()
    {
        closing = true;
        m_useCount.closeAndWait();
    }

    // The automatic recording: flushed every 11th expiry of the refresh timer
    // and by clearData before it empties the store, closed with the store.
    // Replacing it closes the previous one.
    void setAutoSave(std::unique_ptr<AutoSaveSink> sink);
    // Hands the recording over without closing it.
    std::unique_ptr<AutoSaveSink> takeAutoSave() { return std::move(m_autoSave); }
    AutoSaveSink* autoSave() const { return m_autoSave.get(); }
    void flushAutoSave();
    // Samples written by the recording so far, counted over the whole recording
    // (dropped samples of rolling mode included), and the time added to its rows.
    qint64 savedRows = 0;
    qint64 timeOffset = 0;
    bool hadRecording = false; // a recording was opened on this store before
    // Samples dropped from the front in rolling mode since the last clear.
    qint64 droppedSamples() const { return m_dropped; }
    // The CSV recording, when it holds every row of the store (GUI thread).
    QString csvPath;

signals:
    void overallAlarm(bool powerAlarm, bool currentAlarm, bool voltageAlarm, bool sound, QString msg,
                      QString color);
    void legendChanged();
    void sendSegmentLog(QString log, int state = 1);
    void waveformDataChanged();
    void trigStop();
    // The automatic recording could not write its file and has stopped.
    void autoSaveFailed();
    void destroy();

private:
    bool reserveOne(bool offline);
    void updateStats(const float (&v)[ChannelCount]);
    void summarizeLast(bool includeLines);
    void commonTail();
    void reportAppendFailure();
    void onRefreshTimeout();

    int m_autoSaveType;
    int m_refreshTicks = 0;
    std::atomic<bool> m_direction{false};
    int m_rate = 1000;
    qint64 m_step = 1;                        // ms per live sample, 1000 / rate
    double m_perHour = 1.0 / 3600.0 / 1000.0; // hours per live sample
    int m_untilMemoryCheck = kMemoryCheckEvery;
    int m_untilSummary = kBlockSize;
    std::array<GrowableArray<float>, ChannelCount> m_values;
    GrowableArray<qint64> m_times;
    std::array<Summary, ChannelCount> m_summaries;
    mutable std::shared_mutex m_lock;
    Statistics m_stats;
    std::array<ChannelStyle, ChannelCount> m_styles;
    double m_energyTotal = 0;
    double m_capacityTotal = 0;
    qint64 m_sampleCounter = 0;
    qint64 m_headTime = 0;
    qint64 m_lastTime = 0;
    std::size_t m_room = 0; // appends all arrays can take before one must grow
    int m_rollCountdown = kBlockSize;
    qint64 m_dropped = 0; // samples dropped in rolling mode since the last clear
    bool m_rolling = false;
    int m_offlinePeriod = 0;
    bool m_offline = false;
    quint8 m_offlineFormat = 0;
    std::atomic<bool> m_appendFailed{false};
    QTimer m_refreshTimer;
    std::atomic<bool> m_refreshQueued{false};
    QDateTime m_startTime;
    UseCount m_useCount;
    std::unique_ptr<AutoSaveSink> m_autoSave;
};

} // namespace kvq::waveform

namespace kvq::waveform {
// A use of a store that travels with a queued file job.
using StoreHold = kvq::Hold<WaveformData>;
} // namespace kvq::waveform
Q_DECLARE_METATYPE(kvq::waveform::StoreHold)
