#pragma once

// Contents of the meter's reports, decoded from their payloads. Pure
// functions: the report reader turns the results into signals and samples.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace kvq::protocol {

// Report 4: up to four samples, cut to the number of decimals.
struct MeasurementSample {
    double voltage = 0;                            // V
    double current = 0;                            // A
    float dPlus = 0, dMinus = 0, cc1 = 0, cc2 = 0; // V
};
struct Measurement {
    bool reverse = false; // current direction bit
    int count = 0;
    MeasurementSample samples[4];
};
// `rate` decides how many samples count: all four from 500 per second on.
Measurement decodeMeasurement(const std::uint8_t* payload, int rate, int decimals);

// Report 5: fast-charge trigger result (21 or 22 bytes).
struct TriggerResult {
    bool success = false;
    int protocol = 0;
    bool adjustable = false;
    unsigned prog = 0, step = 0, min = 0, max = 0, maxCurrent = 0;
    QString models;   // available outputs joined with ";" (empty unless success)
    QString selected; // name of the selected output (22-byte form, success only)
};
TriggerResult decodeTrigger(const std::uint8_t* payload, int length);

// Report 6: one detection log line (at least 5 bytes).
struct DetectionLine {
    int protocol = 0;
    bool success = false;
    QString text;
};
DetectionLine decodeDetection(const std::uint8_t* payload, int length);

// Report 8: one offline record of the meter's list (21 bytes).
struct OfflineRecordInfo {
    int count = 0;
    int index = 0;
    std::uint32_t interval = 0;  // ms
    std::uint32_t totalTime = 0; // s
    std::uint16_t totalCount = 0;
    float mah = 0;
    float mwh = 0;
    std::uint8_t type = 0;
};
OfflineRecordInfo decodeOfflineInfo(const std::uint8_t* payload);

// Report 9: the whole samples of an offline record (V, A pairs).
std::vector<std::pair<double, double>> decodeOfflineSamples(const std::uint8_t* payload, int length,
                                                            int format, int decimals);

// Report 25: the seven PD monitor texts.
QStringList decodePdMonitor(const std::uint8_t* payload);

// Raw value cut to a multiple of 10^(5 - decimals) when decimals are below 5.
std::uint32_t cutToDecimals(std::uint32_t raw, int decimals);

} // namespace kvq::protocol
