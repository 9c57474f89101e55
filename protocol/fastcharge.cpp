#include "protocol/fastcharge.h"

namespace kvq::protocol {

const FastChargeOutput kFastChargeOutputs[21] = {
    {7, "5V"},    {11, "9V"},   {14, "12V"},  {15, "15V"},  {18, "20V"},  {19, "24V"},  {20, "28V"},
    {22, "36V"},  {23, "48V"},  {24, "PPS1"}, {25, "PPS2"}, {26, "PPS3"}, {27, "PPS4"}, {28, "AVS1"},
    {29, "AVS2"}, {30, "AVS3"}, {35, "OUT1"}, {36, "OUT2"}, {37, "OUT3"}, {38, "OUT4"}, {39, "OUT5"},
};

const char* const kTriggerProtocols[10] = {"PD",  "QC2",  "QC3",  "FCP",  "SCP",
                                           "AFC", "VFCP", "UFCS", "VOOC", "SVOOC"};

const char* const kDetectionProtocols[18] = {"PD",    "QC2",      "QC3",  "FCP",   "SCP",     "AFC",
                                             "VFCP",  "UFCS",     "VOOC", "SVOOC", "SVOO2.0", "SVOO3.0",
                                             "BC1.2", "APPLE2.4", "PE1",  "PE2",   "QC4",     "QC5"};

int fastChargeCode(const QString& name)
{
    for (const FastChargeOutput& output : kFastChargeOutputs)
        if (name == QLatin1String(output.name))
            return output.code;
    return 0;
}

QString fastChargeName(int code)
{
    for (const FastChargeOutput& output : kFastChargeOutputs)
        if (output.code == code)
            return QString::fromLatin1(output.name);
    return {};
}

} // namespace kvq::protocol
