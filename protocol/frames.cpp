#include "protocol/frames.h"

#include "app/base/logging.h"

#include <QString>

namespace kvq::protocol {

std::uint8_t checksum(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum = std::uint8_t(sum + data[i]);
    return std::uint8_t(0x100 - sum);
}

QByteArray buildCommandFrame(std::uint8_t code, const std::uint8_t* payload, int size)
{
    Q_ASSERT(size >= 0 && size <= kMaxCommandPayload);
    QByteArray frame(kCommandFrameSize, '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(frame.data());
    bytes[0] = kFrameMarker;
    bytes[1] = code;
    bytes[2] = std::uint8_t(size);
    for (int i = 0; i < size; ++i)
        bytes[3 + i] = payload[i];
    bytes[3 + size] = checksum(bytes, std::size_t(3 + size));
    bytes[4 + size] = 0xFF;
    return frame;
}

QByteArray buildReportFrame(std::uint8_t code, const QByteArray& payload)
{
    QByteArray frame;
    frame.reserve(payload.size() + 4);
    frame.append(char(kFrameMarker))
        .append(char(code))
        .append(char(std::uint8_t(payload.size())))
        .append(payload);
    frame.append(
        char(checksum(reinterpret_cast<const std::uint8_t*>(frame.constData()), std::size_t(frame.size()))));
    return frame;
}

QByteArray buildBootFrame(std::uint8_t key, std::uint8_t sequence, const std::uint8_t* payload, int size)
{
    QByteArray frame;
    frame.reserve(size + 5);
    frame.append(char(kBootMarker)).append(char(key)).append(char(sequence)).append(char(std::uint8_t(size)));
    frame.append(reinterpret_cast<const char*>(payload), size);
    frame.append(
        char(checksum(reinterpret_cast<const std::uint8_t*>(frame.constData()), std::size_t(frame.size()))));
    return frame;
}

ReportFrame nextReport(ReportCursor& c)
{
    while (c.position < c.size) {
        const int remaining = c.size - c.position;
        const std::uint8_t* at = c.data + c.position;
        if (at[0] == kFrameMarker && c.stopAtCut &&
            (remaining < 2 || (remaining < 3 && at[1] >= 1 && at[1] <= kMaxReportCode))) {
            c.cut = c.position;
            return {};
        }
        if (at[0] == kFrameMarker && remaining >= 3) {
            const int code = static_cast<std::int8_t>(at[1]);
            const std::uint8_t length = at[2];
            // Computed in 8 bits on purpose: lengths 252..255 wrap below 4 and are
            // never accepted, as the meter's firmware expects.
            const int total = std::uint8_t(length + 4);
            if (c.stopAtCut && code >= 1 && code <= kMaxReportCode && total > 3 && total > remaining) {
                c.cut = c.position;
                return {};
            }
            if (code >= 1 && code <= kMaxReportCode && total > 3 && total <= remaining &&
                checksum(at, std::size_t(total - 1)) == at[total - 1]) {
                if (length != 0) {
                    c.position += length + 4;
                    return {code, at + 3, length};
                }
                writeLog(QStringLiteral("analysis_get_data:error"));
            }
        }
        ++c.position;
    }
    return {};
}

int uploadRateOfCode(int code)
{
    static const int rates[] = {2, 4, 20, 50, 200, 500, 1000};
    return code >= 0 && code < 7 ? rates[code] : 2;
}

const char* reportName(int code)
{
    switch (code) {
    case RptViewIndex:
        return "界面索引";
    case RptUploadRate:
        return "电流电压等数据上传频率";
    case RptMeasurement:
        return "电流电压等数据";
    case RptTrigger:
        return "触发快充协议";
    case RptDetectLog:
        return "快充协议日志";
    case RptLanguage:
        return "语言设置";
    case RptOfflineInfo:
        return "离线记录信息";
    case RptOfflineData:
        return "离线记录";
    case RptOfflineDelete:
        return "离线记录删除";
    case RptDataRecordPage:
        return "数据记录协议解析切换";
    case RptPdState:
        return "协议解析状态";
    case RptPdData:
        return "协议解析数据";
    case RptEnterBootloader:
        return "跳入在线升级";
    case RptPdMonitor:
        return "PD监控协议字符串及温度";
    case RptCableInfo:
        return "C线信息";
    case RptClearDetect:
        return "清除自动检测协议点亮";
    default:
        return "";
    }
}

QString lengthErrorText(int code, int length)
{
    return QString::fromUtf8(reportName(code)) + QStringLiteral(" 上报长度异常：上传长度为") +
           QString::number(length);
}

} // namespace kvq::protocol
