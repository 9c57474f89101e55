#include "app/core.h"

#include "app/appcontext.h"
#include "app/base/sharedmemoryhelper.h"
#include "app/sessioncontroller.h"
#include "decode/decodecontroller.h"
#include "device/connectdevice.h"
#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/simulation.h"
#include "waveform/segment.h"
#include "waveform/waveformdata.h"

namespace kvq {

Core::Core(const Options& options)
{
    if (options.simulate) {
        m_virtualBus = std::make_unique<usb::VirtualUsbBus>();
        m_simulation = std::make_unique<emulator::MeterSimulation>(*m_virtualBus, options.meter);
    }
    m_shared = std::make_unique<SharedMemoryHelper>(
        options.sharedKey.isEmpty() ? SharedMemoryHelper::keyFor(options.simulate) : options.sharedKey);
    m_slot = std::make_unique<usb::USBDeviceSlot>(m_virtualBus ? static_cast<usb::Backend&>(*m_virtualBus)
                                                               : usb::libusbBackend());
    m_segment = std::make_unique<waveform::Segment>();
    m_segment->setMemoryDir(options.cacheDir);
    m_decoder = std::make_unique<decode::DecodeController>();

    AppContext* context = AppContext::instance();
    context->shared = m_shared.get();
    context->deviceSlot = m_slot.get();
    context->segment = m_segment.get();
    context->cacheDir = options.cacheDir;
    context->decodeController = m_decoder.get();
    context->liveBus = &m_decoder->liveBus();
    // The session controller takes this first store over and retires it.
    context->waveformData = new waveform::WaveformData(0);
}

Core::~Core()
{
    AppContext* context = AppContext::instance();
    delete context->waveformData; // none when a session controller retired it
    context->waveformData = nullptr;
    context->decodeController = nullptr;
    context->liveBus = nullptr;
    context->segment = nullptr;
    context->deviceSlot = nullptr;
    context->shared = nullptr;
    if (usb::USBControl* device = m_slot->device())
        m_shared->removeDeviceId(device->portId());
    m_slot->clear();
    m_decoder.reset(); // stops a decode run before its store goes
}

std::unique_ptr<SessionController> Core::makeSession() const
{
    return std::make_unique<SessionController>();
}

std::unique_ptr<ConnectDevice> Core::makeConnector(ErrorSink* errors) const
{
    return std::make_unique<ConnectDevice>(m_slot.get(), errors);
}

} // namespace kvq
