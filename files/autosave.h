#pragma once

// The automatic recording of a sample store while acquisition runs: a CSV or
// SQLite file in the waveform file layouts, written in batches so that a
// crash loses at most the last half second.

#include <QString>

namespace kvq::waveform {
class WaveformData;
}

namespace kvq::files {

// Closes the store's recording, then (with `enable`) starts a new one named
// folder + "/" + name + ".csv" or ".sqlite3" after the store's autoSaveType.
// False when the store is an offline record or the file cannot be created.
bool openAutoSaveFile(waveform::WaveformData& store, const QString& folder, const QString& name, bool enable);

struct AutoSaveEnd {
    bool hadFile = false;
    qint64 rowsInFile = 0; // complete rows (CSV) or committed rows (SQLite)
    bool failed = false;   // a write failed; the file ends at rowsInFile
};
// Flushes and closes the store's recording, if any, and says what the file holds.
AutoSaveEnd closeAutoSaveFile(waveform::WaveformData& store);

} // namespace kvq::files
