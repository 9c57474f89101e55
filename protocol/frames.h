#pragma once

// The meter's wire format: 63-byte command frames (host to meter), report
// frames found by scanning the received bytes (meter to host) and the
// bootloader frames of a firmware transfer. Pure functions over bytes.

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvq::protocol {

constexpr std::uint8_t kFrameMarker = 0xEE;
constexpr std::uint8_t kBootMarker = 0xAF;
constexpr std::uint8_t kBootReplyMarker = 0xDF;
constexpr int kCommandFrameSize = 63;
constexpr int kMaxCommandPayload = 58;
constexpr int kMaxReportPayload = 251;
constexpr int kMaxReportCode = 47;

enum Command : std::uint8_t {
    CmdDeviceInfo = 1,
    CmdViewIndex = 2,
    CmdUploadRate = 3,
    CmdUpload = 4,
    CmdTrigger = 5,
    CmdAutoDetect = 6,
    CmdLanguage = 7,
    CmdOfflineRecords = 8,
    CmdOfflineData = 9,
    CmdOfflineDelete = 10,
    CmdDataRecordPage = 11,
    CmdPdAnalysis = 12,
    CmdEnterBootloader = 15,
};

enum Report : std::uint8_t {
    RptDeviceInfo = 1,
    RptViewIndex = 2,
    RptUploadRate = 3,
    RptMeasurement = 4,
    RptTrigger = 5,
    RptDetectLog = 6,
    RptLanguage = 7,
    RptOfflineInfo = 8,
    RptOfflineData = 9,
    RptOfflineDelete = 10,
    RptDataRecordPage = 11,
    RptPdState = 12,
    RptPdData = 13,
    RptEnterBootloader = 15,
    RptPdMonitor = 25,
    RptCableInfo = 33,
    RptClearDetect = 34,
};

enum BootKey : std::uint8_t {
    BootGetInfo = 16,
    BootSetFwInfo = 17,
    BootStartSendFw = 18,
    BootSendData = 19,
    BootSendDataEnd = 20,
    BootStartApp = 21,
};

// Two's complement of the 8-bit sum: covered bytes plus checksum sum to 0.
std::uint8_t checksum(const std::uint8_t* data, std::size_t size);

// The 63-byte command frame; `size` must be at most kMaxCommandPayload.
QByteArray buildCommandFrame(std::uint8_t code, const std::uint8_t* payload, int size);

// A report frame as the meter sends it (payload 1..251 bytes).
QByteArray buildReportFrame(std::uint8_t code, const QByteArray& payload);

// A bootloader frame: AF key seq n payload checksum, not padded.
QByteArray buildBootFrame(std::uint8_t key, std::uint8_t sequence, const std::uint8_t* payload, int size);

// One report found by the scanner; `payload` points into the scanned buffer.
struct ReportFrame {
    int code = -1; // -1: no further frame in this buffer
    const std::uint8_t* payload = nullptr;
    int length = 0;
};

// Position of the scanner within one received buffer.
struct ReportCursor {
    const std::uint8_t* data = nullptr;
    int size = 0;
    int position = 0;
    // With stopAtCut, scanning ends at a frame that the end of the buffer
    // cuts; `cut` is then its position (else -1).
    bool stopAtCut = false;
    int cut = -1;
};

// The next checked report frame at or after the cursor. Garbage is skipped
// byte by byte; a frame cut by the end of the buffer is not returned.
ReportFrame nextReport(ReportCursor& cursor);

// The report stream as it arrives in reads: a frame cut by the end of one
// read is kept and completed by the next, so that no report is lost at a
// boundary. `onFrame` gets each frame; its payload is valid during the call.
class ReportScanner {
public:
    template <typename F> void feed(const std::uint8_t* data, int size, F&& onFrame)
    {
        // The common case, nothing kept: scan the read in place.
        const bool direct = m_kept.empty();
        if (!direct)
            m_kept.insert(m_kept.end(), data, data + size);
        ReportCursor c{direct ? data : m_kept.data(), direct ? size : int(m_kept.size()), 0, true, -1};
        for (ReportFrame f = nextReport(c); f.code != -1; f = nextReport(c))
            onFrame(f);
        const int from = c.cut >= 0 ? c.cut : c.size;
        if (direct)
            m_kept.assign(data + from, data + size);
        else
            m_kept.erase(m_kept.begin(), m_kept.begin() + from);
    }
    void reset() { m_kept.clear(); }
    int kept() const { return int(m_kept.size()); }

private:
    std::vector<std::uint8_t> m_kept; // at most one frame (255 + 4 bytes)
};

// Samples per second of an upload-rate code (2 for unknown codes).
int uploadRateOfCode(int code);

// Name of a report in length-error log lines, e.g. "界面索引"; empty if none.
const char* reportName(int code);

// "<name> 上报长度异常：上传长度为<n>", the length-error log line of a report.
QString lengthErrorText(int code, int length);

} // namespace kvq::protocol
