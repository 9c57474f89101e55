#include "device/usbbackend.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace kvq::usb {
namespace {

class LibusbBackend final : public Backend {
public:
    ~LibusbBackend() override { stopWatchingPlugEvents(); }

    int init(libusb_context** context) override { return libusb_init(context); }
    void exit(libusb_context* context) override { libusb_exit(context); }
    ssize_t getDeviceList(libusb_context* context, libusb_device*** list) override
    {
        return libusb_get_device_list(context, list);
    }
    void freeDeviceList(libusb_device** list, int unrefDevices) override
    {
        libusb_free_device_list(list, unrefDevices);
    }
    int getDeviceDescriptor(libusb_device* device, libusb_device_descriptor* descriptor) override
    {
        return libusb_get_device_descriptor(device, descriptor);
    }
    uint8_t getBusNumber(libusb_device* device) override { return libusb_get_bus_number(device); }
    int getPortNumbers(libusb_device* device, uint8_t* numbers, int length) override
    {
        return libusb_get_port_numbers(device, numbers, length);
    }
    uint8_t getPortNumber(libusb_device* device) override { return libusb_get_port_number(device); }
    uint8_t getDeviceAddress(libusb_device* device) override { return libusb_get_device_address(device); }
    int getDeviceSpeed(libusb_device* device) override { return libusb_get_device_speed(device); }
    libusb_device* refDevice(libusb_device* device) override { return libusb_ref_device(device); }
    void unrefDevice(libusb_device* device) override { libusb_unref_device(device); }
    int open(libusb_device* device, libusb_device_handle** handle) override
    {
        return libusb_open(device, handle);
    }
    void close(libusb_device_handle* handle) override { libusb_close(handle); }
    int setAutoDetachKernelDriver(libusb_device_handle* handle, int enable) override
    {
        return libusb_set_auto_detach_kernel_driver(handle, enable);
    }
    int claimInterface(libusb_device_handle* handle, int number) override
    {
        return libusb_claim_interface(handle, number);
    }
    int releaseInterface(libusb_device_handle* handle, int number) override
    {
        return libusb_release_interface(handle, number);
    }
    libusb_transfer* allocTransfer(int isoPackets) override { return libusb_alloc_transfer(isoPackets); }
    void freeTransfer(libusb_transfer* transfer) override { libusb_free_transfer(transfer); }
    int submitTransfer(libusb_transfer* transfer) override { return libusb_submit_transfer(transfer); }
    int cancelTransfer(libusb_transfer* transfer) override { return libusb_cancel_transfer(transfer); }
    int handleEventsTimeoutCompleted(libusb_context* context, timeval* timeout, int* completed) override
    {
        return libusb_handle_events_timeout_completed(context, timeout, completed);
    }
    void interruptEventHandler(libusb_context* context) override { libusb_interrupt_event_handler(context); }
    int bulkTransfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                     int* transferred, unsigned int timeout) override
    {
        return libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
    }

    bool watchPlugEvents(PlugCallback callback) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_watchContext)
            return true;
        if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
            return false;
        if (libusb_init(&m_watchContext) != 0) {
            m_watchContext = nullptr;
            return false;
        }
        m_callback = std::move(callback);
        const int rc = libusb_hotplug_register_callback(
            m_watchContext,
            libusb_hotplug_event(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &LibusbBackend::onHotplug, this, &m_hotplugHandle);
        if (rc != LIBUSB_SUCCESS) {
            libusb_exit(m_watchContext);
            m_watchContext = nullptr;
            return false;
        }
        m_watching = true;
        m_watchThread = std::thread([this] {
            while (m_watching.load()) {
                timeval tv{0, 200000};
                libusb_handle_events_timeout_completed(m_watchContext, &tv, nullptr);
            }
        });
        return true;
    }

    void stopWatchingPlugEvents() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_watchContext)
            return;
        m_watching = false;
        // Deregistering wakes the event handler, so the thread sees the flag at once.
        libusb_hotplug_deregister_callback(m_watchContext, m_hotplugHandle);
        if (m_watchThread.joinable())
            m_watchThread.join();
        libusb_exit(m_watchContext);
        m_watchContext = nullptr;
    }

private:
    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device*, libusb_hotplug_event event, void* self)
    {
        // Only a notice leaves this callback: libusb forbids most of its calls here.
        static_cast<LibusbBackend*>(self)->m_callback(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        return 0;
    }

    std::mutex m_mutex;
    libusb_context* m_watchContext = nullptr;
    libusb_hotplug_callback_handle m_hotplugHandle = 0;
    std::atomic<bool> m_watching{false};
    std::thread m_watchThread;
    PlugCallback m_callback;
};

} // namespace

Backend& libusbBackend()
{
    static LibusbBackend backend;
    return backend;
}

} // namespace kvq::usb
