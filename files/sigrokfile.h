#pragma once

// Opens a sigrok session file (a zip of "metadata" and "logic-1-N" sample
// files, one byte per sample) as a PD capture: the samples of one probe go
// bit-packed into channel 0 of the capture store with the file's rate.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>

namespace kvq::waveform {
class Segment;
}

namespace kvq::files {

struct SigrokImport {
    bool ok = false;
    QString error;      // why not, for the user
    QString probe;      // the probe whose samples were taken
    QStringList probes; // every probe the file names
    std::uint64_t rateHz = 0;
    std::int64_t samples = 0;
};

// The "[device 1]" section of a session's "metadata".
struct SigrokMetadata {
    std::uint64_t rate = 0;
    int unitSize = 1;
    QString capturefile;
    std::map<int, QString> probes; // bit index -> name
};
SigrokMetadata parseSigrokMetadata(const QByteArray& text);

// Samples per second from a metadata text such as "2.4 MHz", "4 MHz", "500 kHz", "250 Hz"; 0 if unreadable.
std::uint64_t parseSigrokRate(const QString& text);

// Reads `path` into the (cleared) store. With `probe` empty the probe with the
// most edges is taken (the CC line that carries traffic).
SigrokImport importSigrokSession(const QString& path, const QString& probe, waveform::Segment& store);

} // namespace kvq::files
