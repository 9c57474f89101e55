#pragma once

// Process-wide acquisition values: written on the GUI thread by the session
// controller, read by the report reader, the sample store and the views.

#include <QtGlobal>

#include <atomic>
#include <mutex>

namespace kvq {

struct StopCondition {
    std::atomic<int> type{0};         // 0 off, 1 power, 2 current, 3 voltage
    std::atomic<double> threshold{0}; // W, A or V
    std::atomic<qint64> durationMs{0};
    std::atomic<qint64> armedAtMs{0}; // ms since the epoch; 0: not armed
};

struct AcquisitionValues {
    std::atomic<int> uploadRate{1000}; // samples per second
    std::atomic<int> decimals{4};
    StopCondition stop;
    std::atomic<bool> showWithZero{false};
    std::atomic<bool> auxiliaryChart{false};
};

AcquisitionValues& acquisition();

// The live bus values that the decode pipeline stamps on PD messages; the
// report reader writes them while acquisition runs.
struct LiveBus {
    static constexpr float kUnset = -99999.0f;
    std::mutex lock;
    float vbus = kUnset;
    float ibus = kUnset;
};

// One sample against the stop condition at `nowMs`: arms, disarms or fires.
// Returns true when acquisition must stop.
bool checkStopCondition(StopCondition& stop, float voltage, float current, qint64 nowMs);

} // namespace kvq
