#include "waveform/acquisition.h"

#include <cmath>

namespace kvq {

AcquisitionValues& acquisition()
{
    static AcquisitionValues values;
    return values;
}

bool checkStopCondition(StopCondition& stop, float voltage, float current, qint64 nowMs)
{
    const int type = stop.type.load();
    if (type == 0)
        return false;
    const qint64 armed = stop.armedAtMs.load();
    if (armed > 0 && nowMs < armed + stop.durationMs.load())
        return false; // samples inside the waiting time are not looked at
    const double threshold = stop.threshold.load();
    bool met = false;
    switch (type) {
    case 1: {
        double power = double(voltage) * double(current);
        if (!std::isfinite(power))
            power = 0;
        met = power < threshold;
        break;
    }
    case 2:
        met = current < threshold;
        break;
    case 3:
        met = voltage < threshold;
        break;
    default:
        break;
    }
    if (!met) {
        stop.armedAtMs = 0;
        return false;
    }
    if (armed == 0) {
        stop.armedAtMs = nowMs;
        return false;
    }
    stop.armedAtMs = 0;
    return true;
}

} // namespace kvq
