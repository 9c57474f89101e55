// Fuzz target: one received USB buffer, as the report reader sees it. Every
// frame the scanner returns must lie inside the buffer, the scan must end, and
// the decoders of the payloads must cope with any length.
#include "protocol/deviceinfo.h"
#include "protocol/frames.h"

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
        if (f.payload < data + 3 || f.payload + f.length + 1 > data + size || f.length < 1 || f.length > 251 ||
            f.code < 1 || f.code > 47)
            std::abort();
        if (++frames > int(size))
            std::abort(); // the scan must always advance
        DeviceInfo info;
        if (decodeDeviceInfo(f.payload, f.length, &info))
            (void)deviceInfoJson(info, firmwareNeedsUpgrade(info));
        (void)lengthErrorText(f.code, f.length);
    }
    if (cursor.position != int(size))
        std::abort();
    return 0;
}
