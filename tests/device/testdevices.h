#pragma once

#include "device/virtualbus.h"

// Something on the bus that is not a meter.
class Mouse final : public kvq::usb::VirtualDevice {
public:
    uint16_t vendorId() const override { return 0x046D; }
    uint16_t productId() const override { return 0xC077; }
    bool receive(const QByteArray&) override { return true; }
    void attached(kvq::usb::VirtualPort*) override {}
    void detached() override {}
};
