#include "device/usbcontrol.h"

#include "app/base/logging.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <exception>

namespace kvq::usb {

bool isMeter(uint16_t vendor, uint16_t product)
{
    for (const DeviceId& id : kMeterIds)
        if (id.vendor == vendor && id.product == product)
            return true;
    return false;
}

uint32_t fnv1a(const uint8_t* bytes, int size)
{
    uint32_t hash = 0x811C9DC5u;
    for (int i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 0x01000193u;
    }
    return hash;
}

int32_t computePortId(Backend& backend, libusb_device* device, int listPosition)
{
    const uint8_t bus = backend.getBusNumber(device);
    uint8_t ports[8];
    const int n = backend.getPortNumbers(device, ports, 8);
    if (n > 0) {
        uint8_t bytes[9];
        bytes[0] = bus;
        std::memcpy(bytes + 1, ports, size_t(n));
        const int32_t id = int32_t(fnv1a(bytes, n + 1) & 0x7FFFFFFFu);
        return id == 0 ? 1 : id;
    }
    if (const uint8_t port = backend.getPortNumber(device))
        return bus * 256 + port;
    if (const uint8_t address = backend.getDeviceAddress(device))
        return bus * 256 + address;
    return 1 + listPosition;
}

std::vector<USBDeviceEntry> listDevices(Backend& backend)
{
    std::vector<USBDeviceEntry> entries;
    libusb_context* context = nullptr;
    if (backend.init(&context) != 0)
        return entries;
    libusb_device** list = nullptr;
    const ssize_t count = backend.getDeviceList(context, &list);
    if (count < 0) {
        backend.exit(context);
        return entries;
    }
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (backend.getDeviceDescriptor(list[i], &descriptor) != 0)
            continue;
        if (!isMeter(descriptor.idVendor, descriptor.idProduct))
            continue;
        const int32_t portId = computePortId(backend, list[i], int(i));
        entries.push_back({context, backend.refDevice(list[i]), portId});
    }
    backend.freeDeviceList(list, 1);
    if (entries.empty())
        backend.exit(context);
    return entries;
}

void releaseEntries(Backend& backend, std::vector<USBDeviceEntry>& entries, int keep)
{
    if (entries.empty())
        return;
    libusb_context* context = entries.front().context;
    for (int i = 0; i < int(entries.size()); ++i)
        if (i != keep)
            backend.unrefDevice(entries[size_t(i)].device);
    if (keep < 0)
        backend.exit(context);
    entries.clear();
}

USBControl::USBControl(Backend& backend) : m_backend(backend), m_link(std::make_unique<USBLink>()) {}

USBControl::~USBControl()
{
    close();
    freeTransfers();
}

bool USBControl::allocateTransfers()
{
    for (auto& t : m_outTransfers)
        if (!t && !(t = m_backend.allocTransfer(0)))
            return false;
    for (int i = 0; i < kMaxReadTransfers; ++i) {
        m_inBuffers[size_t(i)].assign(kInBufferSize, 0);
        if (!m_inTransfers[size_t(i)] && !(m_inTransfers[size_t(i)] = m_backend.allocTransfer(0)))
            return false;
    }
    return true;
}

void USBControl::freeTransfers()
{
    // close() has settled every transfer, so none is in flight here.
    for (auto& t : m_outTransfers) {
        m_backend.freeTransfer(t);
        t = nullptr;
    }
    for (auto& t : m_inTransfers) {
        m_backend.freeTransfer(t);
        t = nullptr;
    }
}

bool USBControl::open(libusb_device* device, libusb_context* context, int32_t portId)
{
    if (m_isOpen)
        return true;
    close();
    stopped = false;
    lastError = 0;
    m_portId = -1;
    m_link->portId = portId;
    m_link->device = device;
    m_link->context = context;
    m_link->stopping = false;
    m_link->outEndpoint = 0x01;
    m_link->inEndpoint = 0x82;

    int rc = m_backend.open(device, &m_link->handle);
    if (rc == 0) {
        m_backend.setAutoDetachKernelDriver(m_link->handle, 1);
        rc = m_backend.claimInterface(m_link->handle, 0);
        if (rc != 0) {
            m_backend.releaseInterface(m_link->handle, 0);
            m_backend.close(m_link->handle);
            m_link->handle = nullptr;
        }
    } else {
        m_link->handle = nullptr;
    }
    if (rc != 0) {
        lastError = rc;
        abandon();
        return false;
    }

    m_link->running = true;
    USBLink* link = m_link.get();
    Backend* backend = &m_backend;
    m_link->eventThread = QThread::create([link, backend] {
        while (link->running.load() && !link->stopping.load()) {
            timeval tv{1, 1};
            backend->handleEventsTimeoutCompleted(link->context, &tv, nullptr);
        }
    });
    m_link->eventThread->setObjectName(QStringLiteral("usb_loop_thread"));
    m_link->eventThread->start(QThread::HighestPriority);

    const int speed = m_backend.getDeviceSpeed(device);
    m_speedText = speed == LIBUSB_SPEED_SUPER ? QStringLiteral("3.0")
                  : speed == 5                ? QStringLiteral("3.1") // LIBUSB_SPEED_SUPER_PLUS
                                              : QStringLiteral("2.0");
    if (!allocateTransfers()) {
        abandon();
        return false;
    }
    m_portId = portId;
    m_isOpen = true;
    return true;
}

void USBControl::abandon()
{
    // Until open() succeeds the device reference and the context still belong
    // to the enumeration, whose other entries share the context: releasing
    // them here would pull the context from under the next candidate.
    m_link->device = nullptr;
    m_link->context = nullptr;
    close();
}

void USBControl::waitForInFlight(const std::atomic<int>& counter)
{
    // The event thread runs until close() stops it after this wait, so every
    // cancelled transfer gets its callback.
    while (counter.load() > 0)
        QThread::msleep(1);
}

void USBControl::settleReads()
{
    for (int i = 0; i < kMaxReadTransfers; ++i)
        if (m_inBusy[size_t(i)].load())
            m_backend.cancelTransfer(m_inTransfers[size_t(i)]);
    waitForInFlight(m_readsInFlight);
}

void USBControl::settleWrites()
{
    for (int i = 0; i < kWriteSlots; ++i)
        if (m_outBusy[size_t(i)].load())
            m_backend.cancelTransfer(m_outTransfers[size_t(i)]);
    waitForInFlight(m_writesInFlight);
}

void USBControl::close()
{
    m_isOpen = false;
    m_portId = -1;
    if (m_link->eventThread) {
        settleReads();
        settleWrites();
    }
    m_link->running = false;
    m_link->stopping = true;
    if (m_link->eventThread) {
        // Without the nudge the loop would notice the flags only after its
        // current one-second wait for events.
        m_backend.interruptEventHandler(m_link->context);
        m_link->eventThread->wait();
        delete m_link->eventThread;
        m_link->eventThread = nullptr;
    }
    if (m_link->handle) {
        m_backend.releaseInterface(m_link->handle, 0);
        m_backend.close(m_link->handle);
        m_link->handle = nullptr;
    }
    if (m_link->device) {
        m_backend.unrefDevice(m_link->device);
        m_link->device = nullptr;
    }
    if (m_link->context) {
        m_backend.exit(m_link->context);
        m_link->context = nullptr;
    }
    m_link->portId = -1;
}

int USBControl::submitBulk(libusb_transfer* t, uint8_t endpoint, uint8_t* buffer, int length,
                           unsigned timeoutMs, libusb_transfer_cb_fn callback, std::atomic<bool>& busy,
                           std::atomic<int>& inFlight)
{
    t->dev_handle = m_link->handle;
    t->endpoint = endpoint;
    t->type = LIBUSB_TRANSFER_TYPE_BULK;
    t->timeout = timeoutMs;
    t->buffer = buffer;
    t->length = length;
    t->callback = callback;
    t->user_data = this;
    t->flags = 0;
    // Counted before the submit: the callback may run before submit returns.
    busy = true;
    inFlight.fetch_add(1);
    const int rc = m_backend.submitTransfer(t);
    if (rc != 0) {
        busy = false;
        inFlight.fetch_sub(1);
    }
    return rc;
}

void LIBUSB_CALL USBControl::onWriteDone(libusb_transfer* transfer)
{
    auto* self = static_cast<USBControl*>(transfer->user_data);
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED)
        qDebug("TestToDevice transfer error :%d\r\n", int(transfer->status));
    else if (transfer->actual_length != transfer->length)
        qDebug("TestToDevice transfer len :%u\r\n", unsigned(transfer->actual_length));
    for (int i = 0; i < kWriteSlots; ++i)
        if (self->m_outTransfers[size_t(i)] == transfer)
            self->m_outBusy[size_t(i)] = false;
    self->m_writesInFlight.fetch_sub(1);
}

int USBControl::write(const uint8_t* bytes, int length)
{
    if (!m_isOpen || stopped)
        return LIBUSB_ERROR_NO_DEVICE;
    try {
        const int slot = m_outIndex;
        // A slot comes round again four writes later; its previous transfer
        // must have finished before its buffer is replaced. Commands are 10 ms
        // apart, so waiting here is rare and short.
        for (int waited = 0; m_outBusy[size_t(slot)].load(); ++waited) {
            if (waited >= 200 || stopped)
                return LIBUSB_ERROR_BUSY;
            QThread::msleep(1);
        }
        m_outBuffers[size_t(slot)].assign(bytes, bytes + length);
        const int rc =
            submitBulk(m_outTransfers[size_t(slot)], m_link->outEndpoint, m_outBuffers[size_t(slot)].data(),
                       length, 100, &USBControl::onWriteDone, m_outBusy[size_t(slot)], m_writesInFlight);
        m_outIndex = (slot + 1) % kWriteSlots;
        return rc;
    } catch (const std::exception&) {
        qDebug("发送异常！！");
        return -1;
    }
}

void LIBUSB_CALL USBControl::onReadDone(libusb_transfer* transfer)
{
    auto* self = static_cast<USBControl*>(transfer->user_data);
    const bool data = transfer->status == LIBUSB_TRANSFER_COMPLETED ||
                      (transfer->status == LIBUSB_TRANSFER_TIMED_OUT && transfer->actual_length > 0);
    if (data) {
        if (transfer->length > 0 && transfer->actual_length > 0) {
            QByteArray bytes(reinterpret_cast<const char*>(transfer->buffer), transfer->actual_length);
            {
                std::lock_guard<std::mutex> lock(self->m_inLock);
                self->m_chunkList.push_back({transfer, std::move(bytes)});
            }
            self->m_dataChunks.fetch_add(1);
        }
    } else if (transfer->status != LIBUSB_TRANSFER_TIMED_OUT) {
        qDebug("read err status:%d", int(transfer->status));
        self->m_readError = int(transfer->status);
    }
    for (int i = 0; i < kMaxReadTransfers; ++i)
        if (self->m_inTransfers[size_t(i)] == transfer)
            self->m_inBusy[size_t(i)] = false;
    self->m_completed.fetch_add(1);
    self->m_readsInFlight.fetch_sub(1);
}

bool USBControl::read(QByteArray& out, int timeoutMs, int transfers)
{
    out.clear();
    if (!m_isOpen)
        return false;
    // Transfers of a batch that ended early were cancelled; they must have
    // called back before their buffers are handed out again.
    waitForInFlight(m_readsInFlight);
    m_dataChunks = 0;
    m_completed = 0;
    m_readError = 0;
    {
        std::lock_guard<std::mutex> lock(m_inLock);
        m_chunkList.clear();
    }
    const int k = std::clamp(transfers, 1, kMaxReadTransfers);
    // A batch that ends early leaves transfers in flight: cancel them and wait
    // for their callbacks, so that no buffer is reused while libusb may write it.
    const auto finish = [this] { settleReads(); };

    for (int i = 0; i < k; ++i) {
        std::vector<uint8_t>& buffer = m_inBuffers[size_t(i)];
        std::fill(buffer.begin(), buffer.end(), 0);
        const int rc =
            submitBulk(m_inTransfers[size_t(i)], m_link->inEndpoint, buffer.data(), kInBufferSize,
                       unsigned(timeoutMs), &USBControl::onReadDone, m_inBusy[size_t(i)], m_readsInFlight);
        if (rc != 0) {
            // A meter unplugged between two batches refuses the submission
            // itself; without the stop the reader would retry forever.
            if (rc == LIBUSB_ERROR_IO || rc == LIBUSB_ERROR_NO_DEVICE)
                stopped = true;
            writeLog(QStringLiteral("读取USB数据失败！错误代码：") + QString::number(rc));
            qDebug("读取USB数据失败！！！");
            m_readError.fetch_add(1);
            finish();
            return false;
        }
        if (stopped) {
            finish();
            return false;
        }
    }

    std::vector<QByteArray> kept;
    qint64 total = 0;
    int taken = 0;
    int idlePolls = 0;
    while (m_readError.load() == 0 && !stopped) {
        Chunk chunk{nullptr, {}};
        bool got = false;
        {
            std::lock_guard<std::mutex> lock(m_inLock);
            if (size_t(taken) < m_chunkList.size()) {
                chunk = m_chunkList[size_t(taken)];
                got = true;
            }
        }
        if (!got) {
            if (m_completed.load() == k && taken == m_dataChunks.load())
                break;
            QThread::msleep(1);
            if (++idlePolls > 3000) {
                stopped = true;
                m_readError.fetch_add(1);
                finish();
                return false;
            }
            continue;
        }
        ++taken;
        if (!chunk.bytes.isEmpty()) {
            total += chunk.bytes.size();
            kept.push_back(std::move(chunk.bytes));
        }
        if (stopped) {
            finish();
            return false;
        }
        if (m_completed.load() == k && taken == m_dataChunks.load())
            break;
    }
    // Taken before settling: cancelled transfers report a status of their own.
    const int error = m_readError.load();
    finish();
    // Chunks that arrived between the last look and the settling still count.
    {
        std::lock_guard<std::mutex> lock(m_inLock);
        for (size_t i = size_t(taken); i < m_chunkList.size(); ++i) {
            total += m_chunkList[i].bytes.size();
            kept.push_back(m_chunkList[i].bytes);
        }
        m_chunkList.clear();
    }
    if (total > 0) {
        out.reserve(int(total));
        for (const QByteArray& bytes : kept)
            out.append(bytes);
    }
    if (error != 0) {
        if (error == LIBUSB_TRANSFER_NO_DEVICE)
            stopped = true;
        writeLog(QStringLiteral("ReadError"));
    }
    return total > 0;
}

bool USBControl::readOnce(QByteArray& out, int maxLength)
{
    out.clear();
    QByteArray buffer(maxLength, '\0');
    if (!m_isOpen || stopped)
        return false;
    int transferred = 0;
    const int rc =
        m_backend.bulkTransfer(m_link->handle, m_link->inEndpoint,
                               reinterpret_cast<unsigned char*>(buffer.data()), maxLength, &transferred, 100);
    if (transferred > 0)
        out = buffer.left(transferred);
    return rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0);
}

USBDeviceSlot::~USBDeviceSlot()
{
    clear();
}

USBControl* USBDeviceSlot::device() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_device.get();
}

void USBDeviceSlot::clear()
{
    std::unique_ptr<USBControl> gone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        gone = std::move(m_device);
    }
    if (!gone)
        return;
    // A reader may still be inside a read: the stopped flag ends its loop, and
    // the object goes only once the last user has given back its count.
    gone->stopped = true;
    gone->busy.waitIdle();
}

bool USBDeviceSlot::isPresent()
{
    USBControl* current = device();
    if (!current)
        return false;
    std::vector<USBDeviceEntry> entries = listDevices(*m_backend);
    const int32_t port = current->portId();
    const bool found = std::any_of(entries.begin(), entries.end(),
                                   [port](const USBDeviceEntry& e) { return e.portId == port; });
    releaseEntries(*m_backend, entries);
    return found;
}

int32_t USBDeviceSlot::connectFreeDevice(const QVector<int32_t>& busyIds)
{
    if (USBControl* current = device()) {
        if (!current->stopped && isPresent())
            return -1;
        clear();
    }
    auto control = std::make_unique<USBControl>(*m_backend);
    std::vector<USBDeviceEntry> entries = listDevices(*m_backend);
    int opened = -1;
    int failures = 0;
    for (int i = 0; i < int(entries.size()); ++i) {
        const USBDeviceEntry& entry = entries[size_t(i)];
        if (busyIds.contains(entry.portId))
            continue;
        if (control->open(entry.device, entry.context, entry.portId)) {
            opened = i;
            break;
        }
        ++failures;
    }
    if (opened < 0 && failures == int(entries.size()) && failures > 0)
        lastOpenError = control->lastError;
    releaseEntries(*m_backend, entries, opened);
    if (opened < 0)
        return -1;
    const int32_t port = control->portId();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_device = std::move(control);
    return port;
}

} // namespace kvq::usb
