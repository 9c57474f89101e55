#pragma once

// Voltage, current and power alarms: limits set from the GUI thread, every
// live sample evaluated on the report reader's thread, each change of an
// alarm's state announced once.

#include <QJsonObject>
#include <QString>

#include <array>
#include <atomic>
#include <functional>

namespace kvq::waveform {
class WaveformData;
}

namespace kvq::protocol {

class AlarmMonitor {
public:
    enum Quantity { Voltage = 0, Current = 1, Power = 2 };
    // (power active, current active, voltage active, sound, msg, color)
    using Announce = std::function<void(bool, bool, bool, bool, const QString&, const QString&)>;

    // Limits and flags of one quantity; a change of the flags announces with an
    // empty message (so the UI updates its flags and beep) through `store`.
    void setAlarm(Quantity q, double min, double max, bool enabled, bool sound, waveform::WaveformData* store,
                  const Announce& announce);
    // The configuration object of the alarm panel ("voltageMinVal", ...).
    void setAlarmData(const QJsonObject& json, waveform::WaveformData* store, const Announce& announce);

    // One sample, before it is stored. States live in the store.
    void evaluate(double voltage, double current, waveform::WaveformData& store, const Announce& announce);

    struct Limits {
        std::atomic<double> min{0};
        std::atomic<double> max{0};
        std::atomic<bool> enabled{false};
        std::atomic<bool> sound{false};
    };
    const Limits& limits(Quantity q) const { return m_limits[size_t(q)]; }

private:
    void announce(waveform::WaveformData* store, const QString& msg, const QString& color,
                  const Announce& out);
    std::array<Limits, 3> m_limits;
};

} // namespace kvq::protocol
