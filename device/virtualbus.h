#pragma once

// A USB bus in memory with libusb's semantics, for the meter emulator: in
// tests and in `--simulate` the transport runs its real code against it.
// Asynchronous transfers complete on the thread that handles events; an IN
// transfer ends on a short packet, a full buffer, its time-out (keeping what
// arrived) or an unplug. Misuse that real libusb would not survive (freeing or
// resubmitting a transfer in flight) aborts the process with a message.

#include "device/usbbackend.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace kvq::usb {

class VirtualUsbBus;

// How an emulated device reaches the host: IN data it wants to send.
class VirtualPort {
public:
    virtual ~VirtualPort() = default;
    // Queues `data` for the IN endpoint. With `endsTransfer` false the bytes are
    // whole packets without a terminating short packet: the host's transfer
    // keeps waiting for more (and times out holding them if nothing follows).
    virtual void send(const QByteArray& data, bool endsTransfer = true) = 0;
};

// The device side of the bus.
class VirtualDevice {
public:
    virtual ~VirtualDevice() = default;
    virtual uint16_t vendorId() const = 0;
    virtual uint16_t productId() const = 0;
    virtual int speed() const { return LIBUSB_SPEED_FULL; }
    // Bulk OUT data from the host; false stalls the transfer until its time-out.
    virtual bool receive(const QByteArray& data) = 0;
    // Plugged in (port valid until detached) and unplugged.
    virtual void attached(VirtualPort* port) = 0;
    virtual void detached() = 0;
};

// Where a device is plugged in. Empty `ports` or zero numbers exercise the
// transport's fallbacks for port ids.
struct VirtualAttachment {
    uint8_t bus = 1;
    std::vector<uint8_t> ports{1};
    uint8_t portNumber = 1;
    uint8_t address = 2;
};

class VirtualUsbBus final : public Backend {
public:
    VirtualUsbBus();
    ~VirtualUsbBus() override;

    // Plugs `device` in; returns an id for unplug() and the other test controls.
    int plug(std::shared_ptr<VirtualDevice> device, const VirtualAttachment& where = {});
    // Pulls the device out at once: transfers in flight end with NO_DEVICE.
    void unplug(int id);
    // Makes open() fail with LIBUSB_ERROR_ACCESS (another driver holds it).
    void setAccessDenied(int id, bool denied);
    bool isPlugged(int id) const;
    // Number of transfers submitted and not yet called back, over all contexts.
    int transfersInFlight() const;
    // Number of contexts not yet released with exit().
    int openContexts() const;
    // IN transfers submitted since the bus was made.
    int inTransfersSubmitted() const;

    // Backend
    int init(libusb_context** context) override;
    void exit(libusb_context* context) override;
    ssize_t getDeviceList(libusb_context* context, libusb_device*** list) override;
    void freeDeviceList(libusb_device** list, int unrefDevices) override;
    int getDeviceDescriptor(libusb_device* device, libusb_device_descriptor* descriptor) override;
    uint8_t getBusNumber(libusb_device* device) override;
    int getPortNumbers(libusb_device* device, uint8_t* numbers, int length) override;
    uint8_t getPortNumber(libusb_device* device) override;
    uint8_t getDeviceAddress(libusb_device* device) override;
    int getDeviceSpeed(libusb_device* device) override;
    libusb_device* refDevice(libusb_device* device) override;
    void unrefDevice(libusb_device* device) override;
    int open(libusb_device* device, libusb_device_handle** handle) override;
    void close(libusb_device_handle* handle) override;
    int setAutoDetachKernelDriver(libusb_device_handle* handle, int enable) override;
    int claimInterface(libusb_device_handle* handle, int number) override;
    int releaseInterface(libusb_device_handle* handle, int number) override;
    libusb_transfer* allocTransfer(int isoPackets) override;
    void freeTransfer(libusb_transfer* transfer) override;
    int submitTransfer(libusb_transfer* transfer) override;
    int cancelTransfer(libusb_transfer* transfer) override;
    int handleEventsTimeoutCompleted(libusb_context* context, timeval* timeout, int* completed) override;
    void interruptEventHandler(libusb_context* context) override;
    int bulkTransfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                     int* transferred, unsigned int timeout) override;
    bool watchPlugEvents(PlugCallback callback) override;
    void stopWatchingPlugEvents() override;

private:
    struct Physical;
    struct Context;
    struct DeviceRef;
    struct Handle;
    struct TransferState;
    class Port;
    using Clock = std::chrono::steady_clock;

    Physical* physical(int id) const;
    void complete(libusb_transfer* transfer, TransferState& state, libusb_transfer_status status);
    void deliverIn(Physical& device);
    void expire(Clock::time_point now);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_nextId = 1;
    std::map<int, std::shared_ptr<Physical>> m_devices; // plug order = list order
    std::vector<std::unique_ptr<Context>> m_contexts;
    std::map<libusb_transfer*, TransferState> m_transfers;
    std::vector<PlugCallback> m_watchers;
    int m_inSubmitted = 0;
};

} // namespace kvq::usb
