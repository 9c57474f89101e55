#include "protocol/alarms.h"

#include "waveform/waveformdata.h"

#include <cmath>

namespace kvq::protocol {
namespace {

const char* const kUnits[3] = {"V", "A", "W"};
const char* const kKeys[3] = {"voltage", "current", "power"};

QString number(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

void AlarmMonitor::setAlarm(Quantity q, double min, double max, bool enabled, bool sound,
                            waveform::WaveformData* store, const Announce& out)
{
    Limits& l = m_limits[size_t(q)];
    l.min = min;
    l.max = max;
    if (l.enabled.load() == enabled && l.sound.load() == sound)
        return;
    l.enabled = enabled;
    l.sound = sound;
    announce(store, QString(), QString(), out);
}

void AlarmMonitor::setAlarmData(const QJsonObject& json, waveform::WaveformData* store, const Announce& out)
{
    for (int q = 0; q < 3; ++q) {
        const QString key = QString::fromLatin1(kKeys[q]);
        // A limit that is not a number counts as 0; a missing flag as false.
        const double min = json.value(key + QStringLiteral("MinVal")).toString().toDouble();
        const double max = json.value(key + QStringLiteral("MaxVal")).toString().toDouble();
        const bool enabled = json.value(key + QStringLiteral("Alarm")).toBool();
        const bool sound = json.value(key + QStringLiteral("AlarmSound")).toBool();
        setAlarm(Quantity(q), min, max, enabled, sound, store, out);
    }
}

void AlarmMonitor::evaluate(double voltage, double current, waveform::WaveformData& store,
                            const Announce& out)
{
    double power = voltage * current;
    if (!std::isfinite(power))
        power = 0;
    const double values[3] = {voltage, current, power};
    for (int q = 0; q < 3; ++q) {
        const Limits& l = m_limits[size_t(q)];
        if (!l.enabled.load())
            continue;
        const double x = values[q];
        const double min = l.min.load(), max = l.max.load();
        std::atomic<int>& state = store.alarmState[size_t(q)];
        const QString unit = QString::fromLatin1(kUnits[q]);
        if (x > max) {
            if (state.exchange(1) != 1)
                announce(&store, QStringLiteral("Alerts %1 > ").arg(unit) + number(max),
                         QStringLiteral("#ff0000"), out);
        } else if (x < min) {
            if (state.exchange(2) != 2)
                announce(&store, QStringLiteral("Alerts %1 < ").arg(unit) + number(min),
                         QStringLiteral("#ff0000"), out);
        } else if (state.exchange(0) != 0) {
            announce(&store, QStringLiteral("Normal %1 = ").arg(unit) + number(x), QStringLiteral("#ffffff"),
                     out);
        }
    }
}

void AlarmMonitor::announce(waveform::WaveformData* store, const QString& msg, const QString& color,
                            const Announce& out)
{
    bool sound = false;
    bool active[3] = {false, false, false};
    for (int q = 0; q < 3; ++q) {
        const Limits& l = m_limits[size_t(q)];
        const int state = store ? store->alarmState[size_t(q)].load() : 0;
        sound = sound || (l.enabled.load() && state != 0 && l.sound.load());
        active[q] = state != 0 && l.enabled.load();
    }
    if (out)
        out(active[Power], active[Current], active[Voltage], sound, msg, color);
    if (!store)
        return;
    for (int q = 0; q < 3; ++q)
        if (!m_limits[size_t(q)].enabled.load())
            store->alarmState[size_t(q)] = 0;
}

} // namespace kvq::protocol
