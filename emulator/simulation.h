#pragma once

#include "device/virtualbus.h"
#include "emulator/meteremulator.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace kvq::emulator {

// One emulated meter plugged into a virtual bus, re-enumerated like the real
// one when it enters or leaves its bootloader.
class MeterSimulation {
public:
    MeterSimulation(usb::VirtualUsbBus& bus, MeterConfig config = {}, usb::VirtualAttachment where = {});
    ~MeterSimulation();

    std::shared_ptr<MeterEmulator> meter() const;
    int plugId() const;
    void unplug();
    void replug();

private:
    void plugLocked(const MeterConfig& config);

    usb::VirtualUsbBus& m_bus;
    usb::VirtualAttachment m_where;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::shared_ptr<MeterEmulator> m_meter;
    std::vector<OfflineRecord> m_records;
    int m_plugId = 0;
    int m_request = -1; // -1 none, 0 application, 1 bootloader
    bool m_stop = false;
    std::thread m_worker;
};

} // namespace kvq::emulator
