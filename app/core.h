#pragma once

// The one wiring of the core, as the program, kvqm and the session tests use
// it: the bus (the real one, or one emulated meter on a virtual bus that the
// real bus never sees), the shared block, the device slot, the capture store,
// the decode pipeline and the first sample store, published in the process
// context for as long as the core lives. The session controller (with its
// report reader and file worker) and the connector are made on it.

#include "emulator/meteremulator.h"

#include <QString>

#include <memory>

class ConnectDevice;
class SessionController;
class SharedMemoryHelper;

namespace kvq {
class ErrorSink;
namespace decode {
class DecodeController;
}
namespace emulator {
class MeterSimulation;
}
namespace usb {
class USBDeviceSlot;
class VirtualUsbBus;
} // namespace usb
namespace waveform {
class Segment;
}

class Core {
public:
    struct Options {
        bool simulate = false;
        QString cacheDir;            // capture buffers and protocol file work folders
        QString sharedKey;           // empty: the program's block (or the simulation's own)
        emulator::MeterConfig meter; // the emulated meter, with simulate
    };
    explicit Core(const Options& options);
    // Take the session controller and the connector down first.
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    usb::USBDeviceSlot& slot() { return *m_slot; }
    SharedMemoryHelper& shared() { return *m_shared; }
    waveform::Segment& segment() { return *m_segment; }
    decode::DecodeController& decoder() { return *m_decoder; }
    // The emulated meter (null on the real bus).
    emulator::MeterSimulation* simulation() { return m_simulation.get(); }

    // The session controller on this core: it takes the first sample store
    // over and makes its reader and file worker.
    std::unique_ptr<SessionController> makeSession() const;
    // A connector on this core's slot; `errors` may be null (messages then
    // only reach the log).
    std::unique_ptr<ConnectDevice> makeConnector(ErrorSink* errors) const;

private:
    std::unique_ptr<usb::VirtualUsbBus> m_virtualBus;
    std::unique_ptr<emulator::MeterSimulation> m_simulation;
    std::unique_ptr<SharedMemoryHelper> m_shared;
    std::unique_ptr<usb::USBDeviceSlot> m_slot;
    std::unique_ptr<waveform::Segment> m_segment;
    std::unique_ptr<decode::DecodeController> m_decoder;
};

} // namespace kvq
