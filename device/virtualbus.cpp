#include "device/virtualbus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kvq::usb {

namespace {

[[noreturn]] void misuse(const char* what)
{
    std::fprintf(stderr, "virtual USB bus: %s\n", what);
    std::abort();
}

} // namespace

struct VirtualUsbBus::Physical {
    int id = 0;
    std::shared_ptr<VirtualDevice> device;
    VirtualAttachment where;
    bool present = true;
    bool denied = false;
    struct Chunk {
        QByteArray data;
        int offset = 0;
        bool endsTransfer = true;
    };
    std::deque<Chunk> in;
    std::deque<libusb_transfer*> pendingIn;
    std::deque<libusb_transfer*> pendingOut;
    std::unique_ptr<Port> port;
};

struct VirtualUsbBus::Context {
    std::deque<libusb_transfer*> completed;
    bool interrupted = false;
};

struct VirtualUsbBus::DeviceRef {
    Context* context = nullptr;
    std::shared_ptr<Physical> physical;
    int refs = 1;
};

struct VirtualUsbBus::Handle {
    DeviceRef* ref = nullptr;
    bool claimed = false;
};

struct VirtualUsbBus::TransferState {
    bool inFlight = false; // submitted, callback not yet called
    bool pending = false;  // still waiting on the device
    bool hasDeadline = false;
    Clock::time_point deadline;
    Context* context = nullptr;
    std::shared_ptr<Physical> physical;
};

class VirtualUsbBus::Port final : public VirtualPort {
public:
    Port(VirtualUsbBus* bus, Physical* physical) : m_bus(bus), m_physical(physical) {}
    void send(const QByteArray& data, bool endsTransfer) override
    {
        if (data.isEmpty() && !endsTransfer)
            return;
        std::lock_guard<std::mutex> lock(m_bus->m_mutex);
        if (!m_physical->present)
            return;
        m_physical->in.push_back({data, 0, endsTransfer});
        m_bus->deliverIn(*m_physical);
        m_bus->m_changed.notify_all();
    }

private:
    VirtualUsbBus* m_bus;
    Physical* m_physical;
};

VirtualUsbBus::VirtualUsbBus() = default;

VirtualUsbBus::~VirtualUsbBus()
{
    std::vector<int> ids;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [id, device] : m_devices)
            ids.push_back(id);
    }
    for (int id : ids)
        unplug(id);
}

int VirtualUsbBus::plug(std::shared_ptr<VirtualDevice> device, const VirtualAttachment& where)
{
    VirtualPort* port = nullptr;
    int id = 0;
    std::vector<PlugCallback> watchers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto entry = std::make_shared<Physical>();
        id = entry->id = m_nextId++;
        entry->device = device;
        entry->where = where;
        entry->port = std::make_unique<Port>(this, entry.get());
        port = entry->port.get();
        m_devices[id] = entry;
        watchers = m_watchers;
    }
    device->attached(port);
    for (const auto& watcher : watchers)
        watcher(true);
    return id;
}

VirtualUsbBus::Physical* VirtualUsbBus::physical(int id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_devices.find(id);
    return it == m_devices.end() ? nullptr : it->second.get();
}

void VirtualUsbBus::unplug(int id)
{
    std::shared_ptr<Physical> gone;
    std::vector<PlugCallback> watchers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_devices.find(id);
        if (it == m_devices.end())
            return;
        gone = it->second;
        m_devices.erase(it);
        gone->present = false;
        for (auto* list : {&gone->pendingIn, &gone->pendingOut}) {
            for (libusb_transfer* t : *list)
                complete(t, m_transfers[t], LIBUSB_TRANSFER_NO_DEVICE);
            list->clear();
        }
        gone->in.clear();
        watchers = m_watchers;
    }
    gone->device->detached();
    for (const auto& watcher : watchers)
        watcher(false);
}

void VirtualUsbBus::setAccessDenied(int id, bool denied)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_devices.find(id);
    if (it != m_devices.end())
        it->second->denied = denied;
}

bool VirtualUsbBus::isPlugged(int id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices.count(id) != 0;
}

int VirtualUsbBus::transfersInFlight() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(std::count_if(m_transfers.begin(), m_transfers.end(),
                             [](const auto& entry) { return entry.second.inFlight; }));
}

int VirtualUsbBus::inTransfersSubmitted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inSubmitted;
}

int VirtualUsbBus::openContexts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_contexts.size());
}

// Called with the lock held.
void VirtualUsbBus::complete(libusb_transfer* transfer, TransferState& state, libusb_transfer_status status)
{
    state.pending = false;
    transfer->status = status;
    state.context->completed.push_back(transfer);
    m_changed.notify_all();
}

// Moves queued IN bytes into waiting transfers; called with the lock held.
void VirtualUsbBus::deliverIn(Physical& device)
{
    while (!device.pendingIn.empty() && !device.in.empty()) {
        libusb_transfer* t = device.pendingIn.front();
        Physical::Chunk& chunk = device.in.front();
        const int room = t->length - t->actual_length;
        const int take = std::min(room, chunk.data.size() - chunk.offset);
        std::memcpy(t->buffer + t->actual_length, chunk.data.constData() + chunk.offset, size_t(take));
        t->actual_length += take;
        chunk.offset += take;
        bool ends = t->actual_length == t->length;
        if (chunk.offset == chunk.data.size()) {
            ends = ends || chunk.endsTransfer;
            device.in.pop_front();
        }
        if (ends) {
            device.pendingIn.pop_front();
            complete(t, m_transfers[t], LIBUSB_TRANSFER_COMPLETED);
        }
    }
}

// Ends transfers whose time-out has passed; called with the lock held.
void VirtualUsbBus::expire(Clock::time_point now)
{
    for (auto& [transfer, state] : m_transfers) {
        if (!state.pending || !state.hasDeadline || state.deadline > now)
            continue;
        auto& in = state.physical->pendingIn;
        auto& out = state.physical->pendingOut;
        in.erase(std::remove(in.begin(), in.end(), transfer), in.end());
        out.erase(std::remove(out.begin(), out.end(), transfer), out.end());
        complete(transfer, state, LIBUSB_TRANSFER_TIMED_OUT);
    }
}

int VirtualUsbBus::init(libusb_context** context)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_contexts.push_back(std::make_unique<Context>());
    *context = reinterpret_cast<libusb_context*>(m_contexts.back().get());
    return 0;
}

void VirtualUsbBus::exit(libusb_context* context)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* ctx = reinterpret_cast<Context*>(context);
    for (const auto& [transfer, state] : m_transfers)
        if (state.inFlight && state.context == ctx)
            misuse("context released with a transfer in flight");
    m_contexts.erase(
        std::remove_if(m_contexts.begin(), m_contexts.end(), [ctx](const auto& c) { return c.get() == ctx; }),
        m_contexts.end());
}

ssize_t VirtualUsbBus::getDeviceList(libusb_context* context, libusb_device*** list)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* ctx = reinterpret_cast<Context*>(context);
    auto** out = new libusb_device*[m_devices.size() + 1];
    ssize_t n = 0;
    for (const auto& [id, device] : m_devices)
        out[n++] = reinterpret_cast<libusb_device*>(new DeviceRef{ctx, device, 1});
    out[n] = nullptr;
    *list = out;
    return n;
}

void VirtualUsbBus::freeDeviceList(libusb_device** list, int unrefDevices)
{
    if (!list)
        return;
    if (unrefDevices)
        for (libusb_device** d = list; *d; ++d)
            unrefDevice(*d);
    delete[] list;
}

int VirtualUsbBus::getDeviceDescriptor(libusb_device* device, libusb_device_descriptor* descriptor)
{
    const auto* ref = reinterpret_cast<DeviceRef*>(device);
    std::memset(descriptor, 0, sizeof(*descriptor));
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->idVendor = ref->physical->device->vendorId();
    descriptor->idProduct = ref->physical->device->productId();
    descriptor->bNumConfigurations = 1;
    return 0;
}

uint8_t VirtualUsbBus::getBusNumber(libusb_device* device)
{
    return reinterpret_cast<DeviceRef*>(device)->physical->where.bus;
}

int VirtualUsbBus::getPortNumbers(libusb_device* device, uint8_t* numbers, int length)
{
    const auto& ports = reinterpret_cast<DeviceRef*>(device)->physical->where.ports;
    if (int(ports.size()) > length)
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(ports.begin(), ports.end(), numbers);
    return int(ports.size());
}

uint8_t VirtualUsbBus::getPortNumber(libusb_device* device)
{
    return reinterpret_cast<DeviceRef*>(device)->physical->where.portNumber;
}

uint8_t VirtualUsbBus::getDeviceAddress(libusb_device* device)
{
    return reinterpret_cast<DeviceRef*>(device)->physical->where.address;
}

int VirtualUsbBus::getDeviceSpeed(libusb_device* device)
{
    return reinterpret_cast<DeviceRef*>(device)->physical->device->speed();
}

libusb_device* VirtualUsbBus::refDevice(libusb_device* device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++reinterpret_cast<DeviceRef*>(device)->refs;
    return device;
}

void VirtualUsbBus::unrefDevice(libusb_device* device)
{
    // The last reference may own the emulated device; it is destroyed after
    // the bus lock is released, since a device takes locks of its own.
    std::shared_ptr<Physical> last;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* ref = reinterpret_cast<DeviceRef*>(device);
    if (ref->refs <= 0)
        misuse("device unreferenced more often than referenced");
    if (--ref->refs == 0) {
        last = std::move(ref->physical);
        delete ref;
    }
}

int VirtualUsbBus::open(libusb_device* device, libusb_device_handle** handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* ref = reinterpret_cast<DeviceRef*>(device);
    if (!ref->physical->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (ref->physical->denied)
        return LIBUSB_ERROR_ACCESS;
    ++ref->refs;
    *handle = reinterpret_cast<libusb_device_handle*>(new Handle{ref, false});
    return 0;
}

void VirtualUsbBus::close(libusb_device_handle* handle)
{
    DeviceRef* ref = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [transfer, state] : m_transfers)
            if (state.inFlight && transfer->dev_handle == handle)
                misuse("handle closed with a transfer in flight");
        auto* h = reinterpret_cast<Handle*>(handle);
        ref = h->ref;
        delete h;
    }
    unrefDevice(reinterpret_cast<libusb_device*>(ref));
}

int VirtualUsbBus::setAutoDetachKernelDriver(libusb_device_handle*, int)
{
    return LIBUSB_ERROR_NOT_SUPPORTED; // no kernel drivers here, as on some real systems
}

int VirtualUsbBus::claimInterface(libusb_device_handle* handle, int number)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* h = reinterpret_cast<Handle*>(handle);
    if (!h->ref->physical->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    h->claimed = true;
    return 0;
}

int VirtualUsbBus::releaseInterface(libusb_device_handle* handle, int)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* h = reinterpret_cast<Handle*>(handle);
    h->claimed = false;
    return h->ref->physical->present ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

libusb_transfer* VirtualUsbBus::allocTransfer(int isoPackets)
{
    if (isoPackets != 0)
        return nullptr;
    auto* transfer = static_cast<libusb_transfer*>(std::calloc(1, sizeof(libusb_transfer)));
    if (!transfer)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transfers[transfer] = TransferState{};
    return transfer;
}

void VirtualUsbBus::freeTransfer(libusb_transfer* transfer)
{
    if (!transfer)
        return;
    TransferState gone; // released after the lock, like every device reference
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_transfers.find(transfer);
        if (it == m_transfers.end())
            misuse("freeing a transfer that was not allocated here");
        if (it->second.inFlight)
            misuse("freeing a transfer that is still in flight");
        gone = std::move(it->second);
        m_transfers.erase(it);
    }
    if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER)
        std::free(transfer->buffer);
    std::free(transfer);
}

int VirtualUsbBus::submitTransfer(libusb_transfer* transfer)
{
    std::shared_ptr<Physical> previous; // released after the lock
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto it = m_transfers.find(transfer);
    if (it == m_transfers.end())
        misuse("submitting a transfer that was not allocated here");
    TransferState& state = it->second;
    if (state.inFlight)
        return LIBUSB_ERROR_BUSY;
    auto* handle = reinterpret_cast<Handle*>(transfer->dev_handle);
    std::shared_ptr<Physical> device = handle->ref->physical;
    if (!device->present)
        return LIBUSB_ERROR_NO_DEVICE;
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    state.inFlight = true;
    state.pending = true;
    state.context = handle->ref->context;
    previous = std::exchange(state.physical, device);
    state.hasDeadline = transfer->timeout != 0;
    state.deadline = Clock::now() + std::chrono::milliseconds(transfer->timeout);
    transfer->actual_length = 0;
    if (transfer->endpoint & LIBUSB_ENDPOINT_IN) {
        ++m_inSubmitted;
        device->pendingIn.push_back(transfer);
        deliverIn(*device);
        m_changed.notify_all();
        return 0;
    }
    // OUT: the device takes the bytes outside the lock, since it may answer at once.
    device->pendingOut.push_back(transfer);
    m_changed.notify_all(); // the event thread must learn of the new deadline
    const QByteArray data(reinterpret_cast<const char*>(transfer->buffer), transfer->length);
    lock.unlock();
    const bool accepted = device->device->receive(data);
    lock.lock();
    auto& out = device->pendingOut;
    const auto at = std::find(out.begin(), out.end(), transfer);
    if (at != out.end() && accepted) { // else: unplugged meanwhile, or stalled until the time-out
        out.erase(at);
        transfer->actual_length = transfer->length;
        complete(transfer, m_transfers[transfer], LIBUSB_TRANSFER_COMPLETED);
    }
    return 0;
}

int VirtualUsbBus::cancelTransfer(libusb_transfer* transfer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_transfers.find(transfer);
    if (it == m_transfers.end() || !it->second.pending)
        return LIBUSB_ERROR_NOT_FOUND;
    auto& in = it->second.physical->pendingIn;
    auto& out = it->second.physical->pendingOut;
    in.erase(std::remove(in.begin(), in.end(), transfer), in.end());
    out.erase(std::remove(out.begin(), out.end(), transfer), out.end());
    complete(transfer, it->second, LIBUSB_TRANSFER_CANCELLED);
    return 0;
}

int VirtualUsbBus::handleEventsTimeoutCompleted(libusb_context* context, timeval* timeout, int* completed)
{
    auto* ctx = reinterpret_cast<Context*>(context);
    const auto until = Clock::now() + std::chrono::seconds(timeout ? timeout->tv_sec : 60) +
                       std::chrono::microseconds(timeout ? timeout->tv_usec : 0);
    std::deque<libusb_transfer*> done;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (completed && *completed)
                return 0;
            const auto now = Clock::now();
            expire(now);
            if (!ctx->completed.empty())
                break;
            if (ctx->interrupted) {
                ctx->interrupted = false;
                return 0;
            }
            if (now >= until)
                return 0;
            auto wake = until;
            for (const auto& [transfer, state] : m_transfers)
                if (state.pending && state.hasDeadline && state.context == ctx)
                    wake = std::min(wake, state.deadline);
            m_changed.wait_until(lock, wake);
        }
        done.swap(ctx->completed);
        // From here on the owner may resubmit or free them, as in libusb.
        for (libusb_transfer* t : done)
            m_transfers[t].inFlight = false;
    }
    for (libusb_transfer* t : done)
        if (t->callback)
            t->callback(t);
    return 0;
}

void VirtualUsbBus::interruptEventHandler(libusb_context* context)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    reinterpret_cast<Context*>(context)->interrupted = true;
    m_changed.notify_all();
}

int VirtualUsbBus::bulkTransfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                int length, int* transferred, unsigned int timeout)
{
    auto* h = reinterpret_cast<Handle*>(handle);
    std::shared_ptr<Physical> device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        device = h->ref->physical;
    }
    *transferred = 0;
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        if (!device->present)
            return LIBUSB_ERROR_NO_DEVICE;
        const bool accepted =
            device->device->receive(QByteArray(reinterpret_cast<const char*>(data), length));
        *transferred = accepted ? length : 0;
        return accepted ? 0 : LIBUSB_ERROR_TIMEOUT;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(timeout == 0 ? 60000 : timeout);
    std::unique_lock<std::mutex> lock(m_mutex);
    int got = 0;
    for (;;) {
        if (!device->present) {
            *transferred = got;
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (device->pendingIn.empty() && !device->in.empty()) {
            Physical::Chunk& chunk = device->in.front();
            const int take = std::min(length - got, chunk.data.size() - chunk.offset);
            std::memcpy(data + got, chunk.data.constData() + chunk.offset, size_t(take));
            got += take;
            chunk.offset += take;
            bool ends = got == length;
            if (chunk.offset == chunk.data.size()) {
                ends = ends || chunk.endsTransfer;
                device->in.pop_front();
            }
            if (ends) {
                *transferred = got;
                return 0;
            }
            continue;
        }
        if (Clock::now() >= until) {
            *transferred = got;
            return LIBUSB_ERROR_TIMEOUT;
        }
        m_changed.wait_until(lock, until);
    }
}

bool VirtualUsbBus::watchPlugEvents(PlugCallback callback)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_watchers.push_back(std::move(callback));
    return true;
}

void VirtualUsbBus::stopWatchingPlugEvents()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_watchers.clear();
}

} // namespace kvq::usb
