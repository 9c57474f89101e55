#include "protocol/deviceinfo.h"

namespace kvq::protocol {
namespace {

QString latin1Until0(const std::uint8_t* bytes, int size)
{
    int n = 0;
    while (n < size && bytes[n] != 0)
        ++n;
    return QString::fromLatin1(reinterpret_cast<const char*>(bytes), n);
}

QString tenths(int value)
{
    return QStringLiteral("V") + QString::number(value / 10.0, 'f', 1);
}

} // namespace

bool decodeDeviceInfo(const std::uint8_t* p, int size, DeviceInfo* info)
{
    if (size != 29 && size != 30)
        return false;
    const int d = size == 30 ? 1 : 0;
    DeviceInfo out;
    out.longForm = d == 1;
    out.bootVersion = p[0];
    out.fwVersion = d ? p[1] * 100 + p[2] : p[1];
    out.hwVersion = p[2 + d];
    out.deviceType = p[4 + d] | (p[5 + d] << 8);
    out.serial = latin1Until0(p + 6 + d, 8);
    // The model runs to the end of the payload unless a zero byte ends it first.
    out.model = latin1Until0(p + 14 + d, size - 14 - d);
    out.isBoot = p[26 + d] == 1;
    out.supPtl = p[27 + d] == 0;
    out.decimals = p[28 + d] != 0 ? 5 : 4;
    *info = out;
    return true;
}

QString firmwareVersionText(const DeviceInfo& info)
{
    if (info.longForm)
        return QStringLiteral("V") + QString::number(info.fwVersion / 100) + QLatin1Char('.') +
               QString::number((info.fwVersion % 100) / 10.0, 'f', 1);
    return tenths(info.fwVersion);
}

bool firmwareNeedsUpgrade(const DeviceInfo& info)
{
    return (info.deviceType == 2 || info.deviceType == 0x30A) && info.fwVersion < 18 && !info.isBoot;
}

QJsonObject deviceInfoJson(const DeviceInfo& info, bool needUp)
{
    QJsonObject json;
    if (needUp)
        json.insert(QStringLiteral("needUp"), true);
    json.insert(QStringLiteral("sn"), info.serial);
    json.insert(QStringLiteral("model"), info.isBoot ? info.model + QStringLiteral(" boot") : info.model);
    json.insert(QStringLiteral("supPtl"), info.supPtl);
    json.insert(QStringLiteral("decimals"), info.decimals);
    json.insert(QStringLiteral("bootVersion"), tenths(info.bootVersion));
    json.insert(QStringLiteral("version"), firmwareVersionText(info));
    json.insert(QStringLiteral("HVersion"), tenths(info.hwVersion));
    json.insert(QStringLiteral("isBoot"), info.isBoot);
    return json;
}

} // namespace kvq::protocol
