#pragma once

// The bus values of a protocol data file ("bus.ini"): the VBUS/IBUS change
// points of the decoded messages, written and read as text lines.

#include <QByteArray>
#include <QString>

#include <vector>

namespace kvq::decode {

// One bus voltage/current change point, keyed by start sample (or, for the
// timed form of older files, by milliseconds). -99999 means no measurement.
struct BusSample {
    qint64 key = 0;
    float vbus = -99999.0f;
    float ibus = -99999.0f;
    bool timed = false;
    bool operator==(const BusSample& o) const
    {
        return key == o.key && vbus == o.vbus && ibus == o.ibus && timed == o.timed;
    }
};

// A decoded message as far as the file cares: its start sample and bus values.
struct MessageBus {
    qint64 startSample;
    float vbus;
    float ibus;
};

// "sample=<n>,vbus=<v>,ibus=<i>" for the first message and for each one whose
// values differ from the last line written; lines separated by CR LF.
QByteArray formatBusFile(const std::vector<MessageBus>& messages);

// Every accepted line of a bus file, in file order (keyed and timed forms).
std::vector<BusSample> parseBusFile(const QString& text);

} // namespace kvq::decode
