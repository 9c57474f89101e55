#pragma once

// The figures of the statistics panel that come from a sample store: total
// statistics from its running accumulators, and the window query that the
// view's window and cursor statistics and the jump to an extremum build on.

#include <QJsonObject>
#include <QtGlobal>

namespace kvq::waveform {

class WaveformData;

// "average", "min", "max", "time" (and "vpp" for voltage) of the whole
// recording of channel Voltage, Current or Power. Takes the read lock.
QJsonObject totalStatistics(const WaveformData& store, int channel);

// A channel over the time interval [t0, t1] (ms): first = the last sample
// before t0 (or 0), last = the last sample before t1 (or the last sample when
// t1 reaches the last time stamp). The caller holds the read lock.
struct WindowResult {
    bool found = false;
    qint64 first = 0;
    qint64 last = -1;
    float min = 0;
    float max = 0;
    double sum = 0;
};
WindowResult windowQuery(const WaveformData& store, int channel, qint64 t0, qint64 t1);

// The view's statistics object for [t0, t1]. Takes the read lock.
QJsonObject intervalStatistics(const WaveformData& store, int channel, qint64 t0, qint64 t1);

// Index of the first occurrence of the channel's maximum (or minimum) within
// [t0, t1] by the jump's rules, or -1. The caller holds the read lock.
qint64 findExtremum(const WaveformData& store, int channel, qint64 t0, qint64 t1, bool findMax);

// Index of the last sample with a time stamp before `t` (-1 if none), and of
// the first at or after it (count if none).
qint64 lastBefore(const WaveformData& store, qint64 t);
qint64 firstAtOrAfter(const WaveformData& store, qint64 t);

} // namespace kvq::waveform
