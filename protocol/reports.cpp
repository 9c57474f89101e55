#include "protocol/reports.h"

#include "protocol/fastcharge.h"

#include <QtEndian>

#include <cstring>

namespace kvq::protocol {
namespace {

std::uint32_t u24(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
}
std::uint16_t u16(const std::uint8_t* p)
{
    return std::uint16_t(p[0] | p[1] << 8);
}
float f32(const std::uint8_t* p)
{
    const std::uint32_t bits = qFromLittleEndian<std::uint32_t>(p);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

} // namespace

std::uint32_t cutToDecimals(std::uint32_t raw, int decimals)
{
    if (decimals >= 5)
        return raw;
    std::uint32_t q = 1;
    for (int i = decimals; i < 5; ++i)
        q *= 10;
    return raw - raw % q;
}

Measurement decodeMeasurement(const std::uint8_t* p, int rate, int decimals)
{
    Measurement m;
    m.reverse = p[56] & 1;
    m.count = rate >= 500 ? 4 : 1;
    for (int k = 0; k < m.count; ++k) {
        MeasurementSample& s = m.samples[k];
        s.voltage = cutToDecimals(u24(p + 3 * k), decimals) / 100000.0;
        s.current = cutToDecimals(u24(p + 12 + 3 * k), decimals) / 100000.0;
        s.dPlus = float(u16(p + 24 + 2 * k) / 1000.0);
        s.dMinus = float(u16(p + 32 + 2 * k) / 1000.0);
        s.cc1 = float(u16(p + 40 + 2 * k) / 1000.0);
        s.cc2 = float(u16(p + 48 + 2 * k) / 1000.0);
    }
    return m;
}

TriggerResult decodeTrigger(const std::uint8_t* p, int length)
{
    TriggerResult r;
    r.protocol = std::int8_t(p[0]);
    r.success = p[1] != 0;
    const std::uint64_t mask = qFromLittleEndian<quint64>(p + 2);
    r.adjustable = p[10] != 0;
    r.prog = u16(p + 11);
    r.step = u16(p + 13);
    r.min = u16(p + 15);
    r.max = u16(p + 17);
    r.maxCurrent = u16(p + 19);
    const int selected = length == 22 ? p[21] : -1;
    if (r.success) {
        QStringList names;
        for (const FastChargeOutput& output : kFastChargeOutputs)
            if (output.code < 64 && (mask >> output.code) & 1)
                names.append(QString::fromLatin1(output.name));
        r.models = names.join(QLatin1Char(';'));
        r.selected = fastChargeName(selected);
    }
    return r;
}

DetectionLine decodeDetection(const std::uint8_t* p, int length)
{
    DetectionLine line;
    line.protocol = std::int8_t(p[0]);
    line.success = p[1] != 0;
    int end = 2;
    while (end < length && p[end] != 0)
        ++end;
    line.text = QString::fromLatin1(reinterpret_cast<const char*>(p + 2), end - 2);
    return line;
}

OfflineRecordInfo decodeOfflineInfo(const std::uint8_t* p)
{
    OfflineRecordInfo r;
    r.count = std::int8_t(p[0]);
    r.index = std::int8_t(p[1]);
    r.interval = qFromLittleEndian<std::uint32_t>(p + 2);
    r.totalTime = qFromLittleEndian<std::uint32_t>(p + 6);
    r.totalCount = u16(p + 10);
    r.mah = f32(p + 12);
    r.mwh = f32(p + 16);
    r.type = p[20];
    return r;
}

std::vector<std::pair<double, double>> decodeOfflineSamples(const std::uint8_t* p, int length, int format,
                                                            int decimals)
{
    const int size = format != 0 ? 4 : 6;
    std::vector<std::pair<double, double>> samples;
    for (int k = 0; k + size <= length; k += size) {
        if (size == 6) {
            const std::uint32_t v = cutToDecimals(u24(p + k) & 0x7FFFFF, decimals);
            const std::uint32_t a = cutToDecimals(u24(p + k + 3) & 0x7FFFFF, decimals);
            samples.emplace_back(v / 1000.0, a / 1000.0);
        } else {
            samples.emplace_back((u16(p + k) & 0x7FFF) / 1000.0, (u16(p + k + 2) & 0x7FFF) / 1000.0);
        }
    }
    return samples;
}

QStringList decodePdMonitor(const std::uint8_t* p)
{
    static const int fields[6][2] = {{0, 10}, {10, 8}, {18, 8}, {26, 8}, {34, 10}, {44, 10}};
    QStringList texts;
    for (const auto& field : fields) {
        QByteArray kept;
        bool allZero = true;
        for (int i = 0; i < field[1]; ++i) {
            const std::uint8_t b = p[field[0] + i];
            allZero = allZero && b == 0;
            if (b >= 0x20 && b <= 0x7E)
                kept.append(char(b));
        }
        texts.append(allZero ? QString() : QString::fromLatin1(kept).trimmed());
    }
    texts.append(QString::number(p[54]));
    return texts;
}

} // namespace kvq::protocol
