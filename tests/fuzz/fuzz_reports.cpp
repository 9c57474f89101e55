// Fuzz target: one received USB buffer, as the report reader sees it. Every
// frame the scanner returns must lie inside the buffer, the scan must end, and
// the decoders of the payloads must cope with any length.
#include "protocol/deviceinfo.h"
#include "protocol/frames.h"
#include "protocol/reports.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kvq::protocol;
    if (size > 1 << 20)
        return 0;
    ReportCursor cursor{data, int(size), 0};
    int frames = 0;
    for (ReportFrame f = nextReport(cursor); f.code != -1; f = nextReport(cursor)) {
        if (f.payload < data + 3 || f.payload + f.length + 1 > data + size || f.length < 1 ||
            f.length > 251 || f.code < 1 || f.code > 47)
            std::abort();
        if (++frames > int(size))
            std::abort(); // the scan must always advance
        DeviceInfo info;
        if (decodeDeviceInfo(f.payload, f.length, &info))
            (void)deviceInfoJson(info, firmwareNeedsUpgrade(info));
        (void)lengthErrorText(f.code, f.length);
        // Each decoder with the lengths the report reader accepts for it.
        switch (f.code) {
        case RptMeasurement:
            if (f.length == 57)
                (void)decodeMeasurement(f.payload, 1000, 4);
            break;
        case RptTrigger:
            if (f.length == 21 || f.length == 22)
                (void)decodeTrigger(f.payload, f.length);
            break;
        case RptDetectLog:
            if (f.length >= 5)
                (void)decodeDetection(f.payload, f.length);
            break;
        case RptOfflineInfo:
            if (f.length == 21)
                (void)decodeOfflineInfo(f.payload);
            break;
        case RptOfflineData:
            if (f.length >= 4) {
                (void)decodeOfflineSamples(f.payload, f.length, 0, 4);
                (void)decodeOfflineSamples(f.payload, f.length, 1, 5);
            }
            break;
        case RptPdMonitor:
            if (f.length == 55)
                (void)decodePdMonitor(f.payload);
            break;
        default:
            break;
        }
    }
    if (cursor.position != int(size))
        std::abort();
    return 0;
}
