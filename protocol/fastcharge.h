#pragma once

#include <QString>
#include <QStringList>

namespace kvq::protocol {

// The fast-charge outputs the meter can ask a charger for; the code is the
// bit number in the output mask of the trigger report and the byte sent by
// the full trigger command.
struct FastChargeOutput {
    int code;
    const char* name;
};
extern const FastChargeOutput kFastChargeOutputs[21]; // ascending code order

// Code of an output name (the first in code order), 0 when unknown.
int fastChargeCode(const QString& name);
// Name of an output code, empty when unknown.
QString fastChargeName(int code);

// Protocols the trigger command selects (the index is sent on the wire).
extern const char* const kTriggerProtocols[10];
// Protocols the automatic detection reports (index of report 6).
extern const char* const kDetectionProtocols[18];

} // namespace kvq::protocol
