#pragma once

#include <QString>

namespace kvq {

// One log file per run in `folder`, named after the start time. Logging stays
// off for the whole run when the file cannot be opened.
void startLog(const QString& folder);

// Appends one time-stamped line; thread-safe. A flush happens on every sixth
// line and whenever `flush` is true.
void writeLog(const QString& message, bool flush = false);

void closeLog();

// Path of the open log file; empty while logging is off.
QString currentLogFile();

} // namespace kvq
