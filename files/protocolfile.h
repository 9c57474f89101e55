#pragma once

// Protocol data files (".kvqcc"): a zip of the capture store's CC-line bits in
// the store's own block layout, its sample rate and the bus values at the
// decoded messages. Opening one restores the store; decoding it again rebuilds
// the message table.

#include "files/busfile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace kvq::waveform {
class Segment;
}

namespace kvq::files {

struct ProtocolFileResult {
    bool ok = false;
    QString message;      // the one line for the user (state 1 on success, 0 on failure)
    QStringList warnings; // skipped channels while opening (state 0), before the message
};

// Writes the store (registered as its user meanwhile) and the bus change
// points of `messages` to `path`, through a folder below `cacheDir`/save.
ProtocolFileResult saveProtocolFile(waveform::Segment& store, const std::vector<decode::MessageBus>& messages,
                                    const QString& path, const QString& cacheDir);

// Fills the (cleared) store from `path`, extracted below `cacheDir`/load, and
// appends the file's bus change points to `bus`.
ProtocolFileResult readProtocolFile(waveform::Segment& store, const QString& path, const QString& cacheDir,
                                    std::vector<decode::BusSample>* bus);

// A channel's "channel.ini": start offset, sample count and, per block line
// (a line with a comma), its masks when the line holds two unsigned numbers.
struct ChannelFile {
    qint64 start = 0;
    qint64 count = 0;
    struct Block {
        bool valid = false;
        quint64 constantMask = 0;
        quint64 levelMask = 0;
    };
    std::vector<Block> blocks; // at most one per block of the store
};
ChannelFile parseChannelFile(const QByteArray& text);

// A new, not yet existing folder `base`/<seconds since 1970>, created.
QString makeTimedFolder(const QString& base);

} // namespace kvq::files
