#pragma once

#include <QString>

#include <cstddef>

namespace kvq {

// "hh:mm:ss.zzz" to milliseconds; -1 when the text is not such a time.
qint64 parseClockTime(const QString& text);

// Milliseconds as "hh:mm:ss.zzz"; hours are not wrapped at 24.
QString formatClockTime(qint64 milliseconds);

// Signed duration as "hh:mm:ss" with `digits` (0..3) fraction digits.
QString formatDuration(qint64 milliseconds, int digits);

// Elapsed time "h:m:s[:ms]", plain (unpadded) or zero-padded.
QString formatElapsed(qint64 milliseconds, bool plain, bool withMilliseconds);

// Rounded to 1/10000, at least two integer digits: 1.5 -> "01.5000".
QString formatFixed4(double value);

// Truncated toward minus infinity to `decimals` places, fixed notation.
QString formatTruncated(double value, int decimals);

// Creates `folder` and inside it a new file or folder named after the current
// second; waits for the next second while that name is taken.
QString makeUniqueEntry(const QString& folder, bool asFile);

// Removes every empty sub-folder below `folder`, deepest first; never files.
void pruneEmptyFolders(const QString& folder);

// malloc() that refuses (returns null) when a periodic check finds less than
// 500 MiB of physical memory available. Release the block with std::free().
void* guardedAlloc(std::size_t size);

// The periodic check itself, on the same call counter: false when this is a
// checking call (every 10th) and memory is below 500 MiB. Other big
// allocations (mapped capture buffers) go through it too.
bool memoryGuardAllows();

// The threshold below which guardedAlloc and the stores stop taking memory.
constexpr qint64 kLowMemoryBytes = 500LL * 1024 * 1024;

} // namespace kvq
