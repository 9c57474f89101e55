#pragma once

// The transport to one meter: enumeration, port ids, open and close, the
// event thread, the write ring, the batched and the synchronous reads, and
// the command operations that speak the meter's frame protocol.

#include "app/base/usecount.h"
#include "device/usbbackend.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class QThread;

namespace kvq::usb {

struct DeviceId {
    uint16_t vendor;
    uint16_t product;
};
// The meters, in the order they are looked for.
constexpr DeviceId kMeterIds[] = {{0x2E88, 0xC2C2}, {0x2E3C, 0x5780}};
bool isMeter(uint16_t vendor, uint16_t product);

// Stable id of a physical attachment point: FNV-1a over the bus and port
// numbers, with fallbacks when libusb cannot give them.
int32_t computePortId(Backend& backend, libusb_device* device, int listPosition);
uint32_t fnv1a(const uint8_t* bytes, int size);

struct USBDeviceEntry {
    libusb_context* context = nullptr; // shared by the entries of one enumeration
    libusb_device* device = nullptr;   // one reference held by the entry
    int32_t portId = 0;
};

// All meters on the bus, in libusb's list order.
std::vector<USBDeviceEntry> listDevices(Backend& backend);
// Drops the entries' references and their context; the entry at `keep` (if
// any) and the context stay with whoever opened that device.
void releaseEntries(Backend& backend, std::vector<USBDeviceEntry>& entries, int keep = -1);

// What the link of an open device owns.
struct USBLink {
    libusb_context* context = nullptr;
    libusb_device* device = nullptr;
    libusb_device_handle* handle = nullptr;
    QThread* eventThread = nullptr;
    int32_t portId = -1;
    uint8_t outEndpoint = 0x01;
    uint8_t inEndpoint = 0x82;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
};

// One connected meter. Not a QObject: it is shared by the connection thread,
// the report reader and the GUI thread, and its lifetime is governed by the
// busy count and the stopped flag.
class USBControl {
public:
    explicit USBControl(Backend& backend);
    ~USBControl();
    USBControl(const USBControl&) = delete;
    USBControl& operator=(const USBControl&) = delete;

    bool open(libusb_device* device, libusb_context* context, int32_t portId);
    void close();
    bool isOpen() const { return m_isOpen.load(); }

    // Asynchronous bulk OUT of a copy of the bytes; 0 or a libusb error code.
    int write(const uint8_t* bytes, int length);
    // Batched asynchronous bulk IN; true when bytes arrived (in `out`).
    bool read(QByteArray& out, int timeoutMs, int transfers);
    // Synchronous bulk IN of at most maxLength bytes, 100 ms time-out.
    bool readOnce(QByteArray& out, int maxLength);

    int32_t portId() const { return m_portId.load(); }
    QString speedText() const { return m_speedText; }
    Backend& backend() { return m_backend; }

    // Device information, filled in by the connection handshake.
    int deviceType = 0;
    int hwVersion = 0;
    int fwVersion = 0;
    int bootVersion = 0;
    int decimals = 4;
    bool supPtl = false;
    bool isBoot = false;
    std::atomic<bool> needUp{false};

    UseCount busy; // the handshake and the report reader
    std::atomic<bool> stopped{false};
    int lastError = 0;

    // Commands (frame protocol). Each returns whether the frame was sent.
    bool sendCommand(uint8_t code, const uint8_t* payload, int size);
    bool queryDeviceInfo();
    bool setViewIndex(int8_t index);
    bool setUploadRate(int8_t rateCode);
    bool setUpload(bool on);
    bool triggerPlain(int8_t index);
    bool triggerFull(int8_t index, const QString& model, uint16_t step, uint8_t stat);
    bool autoDetect();
    bool setDeviceLanguage(int8_t index);
    bool queryOfflineRecords();
    bool requestOfflineData(int8_t index, uint16_t totalCount);
    bool deleteOfflineRecord(int8_t index);
    bool setDataRecordPage(int8_t index);
    bool setPdAnalysis(int8_t state);
    bool enterBootloader();

    // Bootloader exchange: the reply (starting 0xDF, key echoed) or empty.
    QByteArray bootExchange(uint8_t key, const uint8_t* payload, int size);
    QByteArray getBootInfo();
    int setFwInfo(const uint8_t header[13]);
    int startSendFw();
    int sendFwData(const uint8_t* bytes, int size);
    int sendDataEnd();
    int startApp();
    uint8_t bootSequence() const { return m_bootSeq; }

    static constexpr int kInBufferSize = 16384;
    static constexpr int kMaxReadTransfers = 32;
    static constexpr int kWriteSlots = 4;

private:
    static void LIBUSB_CALL onWriteDone(libusb_transfer* transfer);
    static void LIBUSB_CALL onReadDone(libusb_transfer* transfer);
    bool command(uint8_t code, std::initializer_list<uint8_t> payload, bool evenIfNeedUp = false);
    int submitBulk(libusb_transfer* transfer, uint8_t endpoint, uint8_t* buffer, int length,
                   unsigned timeoutMs, libusb_transfer_cb_fn callback, std::atomic<bool>& busy,
                   std::atomic<int>& inFlight);
    int bootStatus(uint8_t key, const uint8_t* payload, int size);
    bool allocateTransfers();
    void freeTransfers();
    // Cancel what is still in flight and wait until each callback has run.
    void settleReads();
    void settleWrites();
    void abandon();
    void waitForInFlight(const std::atomic<int>& counter);

    Backend& m_backend;
    std::unique_ptr<USBLink> m_link;
    QString m_speedText = QStringLiteral("2.0");
    std::atomic<bool> m_isOpen{false};
    std::atomic<int32_t> m_portId{-1};
    std::mutex m_sendLock;

    int m_outIndex = 0;
    std::array<std::vector<uint8_t>, kWriteSlots> m_outBuffers;
    std::array<libusb_transfer*, kWriteSlots> m_outTransfers{};
    std::array<std::atomic<bool>, kWriteSlots> m_outBusy{};
    std::atomic<int> m_writesInFlight{0};

    struct Chunk {
        libusb_transfer* transfer;
        QByteArray bytes;
    };
    std::mutex m_inLock;
    std::vector<Chunk> m_chunkList;
    std::array<std::vector<uint8_t>, kMaxReadTransfers> m_inBuffers;
    std::array<libusb_transfer*, kMaxReadTransfers> m_inTransfers{};
    std::array<std::atomic<bool>, kMaxReadTransfers> m_inBusy{};
    std::atomic<int> m_readsInFlight{0};
    std::atomic<int> m_dataChunks{0};
    std::atomic<int> m_completed{0};
    std::atomic<int> m_readError{0};
    uint8_t m_bootSeq = 0;
};

// The process-wide place where the connected meter lives.
class USBDeviceSlot {
public:
    explicit USBDeviceSlot(Backend& backend) : m_backend(&backend) {}
    ~USBDeviceSlot();

    Backend& backend() { return *m_backend; }
    USBControl* device() const;
    // Empties the slot and destroys its device object once no thread uses it
    // any more (stopped first, then waiting for its busy count to reach 0).
    // Never call it from a thread that holds a busy count of that object.
    void clear();

    // True when a device object is in the slot and the bus still shows its port.
    bool isPresent();
    // Opens the first meter not in `busyIds` and puts it into the slot.
    int32_t connectFreeDevice(const QVector<int32_t>& busyIds);

    std::atomic<int> lastOpenError{0};

private:
    Backend* m_backend;
    mutable std::mutex m_mutex;
    std::unique_ptr<USBControl> m_device;
};

} // namespace kvq::usb
