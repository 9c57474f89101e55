#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdint>

namespace kvq::protocol {

// The meter's answer to the information query (report 1, 29 or 30 bytes).
struct DeviceInfo {
    bool longForm = false; // 30 bytes: firmware version as major, minor*10+patch
    int bootVersion = 0;   // tenths
    int fwVersion = 0;     // 29 bytes: tenths; 30 bytes: major*100 + minor*10 + patch
    int hwVersion = 0;     // tenths
    int deviceType = 0;
    QString serial;
    QString model;
    bool isBoot = false;
    bool supPtl = false;
    int decimals = 4;
};

// False unless `size` is 29 or 30.
bool decodeDeviceInfo(const std::uint8_t* payload, int size, DeviceInfo* info);

// The device information object shown to the UI, keys in their fixed order
// ("needUp" only when set; "msg" is added by the caller on failure).
QJsonObject deviceInfoJson(const DeviceInfo& info, bool needUp);

// "V1.2.3" (30-byte form) or "V1.8" (29-byte form).
QString firmwareVersionText(const DeviceInfo& info);

// Firmware too old for this program: types 2 and 0x30A below version 1.8,
// unless the meter runs its bootloader.
bool firmwareNeedsUpgrade(const DeviceInfo& info);

} // namespace kvq::protocol
