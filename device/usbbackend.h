#pragma once

// The libusb calls the transport makes, one virtual function each, so that the
// same transport logic runs against the real bus (LibusbBackend) or against
// the virtual bus that hosts emulated meters (VirtualUsbBus). Arguments and
// results are libusb's own; the virtual bus hands out pointers of its own
// behind libusb's opaque context, device and handle types.

#include <libusb-1.0/libusb.h>

#include <functional>

namespace kvq::usb {

class Backend {
public:
    virtual ~Backend() = default;

    virtual int init(libusb_context** context) = 0;
    virtual void exit(libusb_context* context) = 0;

    virtual ssize_t getDeviceList(libusb_context* context, libusb_device*** list) = 0;
    virtual void freeDeviceList(libusb_device** list, int unrefDevices) = 0;
    virtual int getDeviceDescriptor(libusb_device* device, libusb_device_descriptor* descriptor) = 0;
    virtual uint8_t getBusNumber(libusb_device* device) = 0;
    virtual int getPortNumbers(libusb_device* device, uint8_t* numbers, int length) = 0;
    virtual uint8_t getPortNumber(libusb_device* device) = 0;
    virtual uint8_t getDeviceAddress(libusb_device* device) = 0;
    virtual int getDeviceSpeed(libusb_device* device) = 0;
    virtual libusb_device* refDevice(libusb_device* device) = 0;
    virtual void unrefDevice(libusb_device* device) = 0;

    virtual int open(libusb_device* device, libusb_device_handle** handle) = 0;
    virtual void close(libusb_device_handle* handle) = 0;
    virtual int setAutoDetachKernelDriver(libusb_device_handle* handle, int enable) = 0;
    virtual int claimInterface(libusb_device_handle* handle, int number) = 0;
    virtual int releaseInterface(libusb_device_handle* handle, int number) = 0;

    virtual libusb_transfer* allocTransfer(int isoPackets) = 0;
    virtual void freeTransfer(libusb_transfer* transfer) = 0;
    virtual int submitTransfer(libusb_transfer* transfer) = 0;
    virtual int cancelTransfer(libusb_transfer* transfer) = 0;
    virtual int handleEventsTimeoutCompleted(libusb_context* context, timeval* timeout, int* completed) = 0;
    // Makes a thread waiting in handleEventsTimeoutCompleted return at once.
    virtual void interruptEventHandler(libusb_context* context) = 0;

    virtual int bulkTransfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                             int length, int* transferred, unsigned int timeout) = 0;

    // Plug and unplug of any USB device, for the connection logic. `arrived`
    // is true for an arrival. Returns false when the backend cannot watch.
    using PlugCallback = std::function<void(bool arrived)>;
    virtual bool watchPlugEvents(PlugCallback callback) = 0;
    virtual void stopWatchingPlugEvents() = 0;
};

// The process-wide real libusb.
Backend& libusbBackend();

} // namespace kvq::usb
