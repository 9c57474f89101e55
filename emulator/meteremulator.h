#pragma once

// The KVQ-M meter in software: it takes command frames on its OUT endpoint
// and produces the report stream a real meter sends, driven by a charger
// scenario. It plugs into the virtual USB bus like a device into a socket.
// Tests script it (silence, garbage, split frames, bad checksums, stalls) and
// look at what it received.

#include "device/virtualbus.h"
#include "emulator/pdtraffic.h"
#include "emulator/scenario.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kvq::emulator {

struct MeterConfig {
    uint16_t vendorId = 0x2E88;
    uint16_t productId = 0xC2C2;
    int speed = LIBUSB_SPEED_HIGH;
    bool longInfo = true;  // 30-byte information form (firmware major, minor*10+patch)
    int fwMajor = 1;       // long form
    int fwMinorPatch = 23; // long form: V1.2.3
    int fwTenths = 18;     // short form: V1.8
    int bootVersion = 12;  // V1.2
    int hwVersion = 10;    // V1.0
    int deviceType = 2;
    QString serial = QStringLiteral("KQ240001");
    QString model = QStringLiteral("KVQ-M");
    bool isBoot = false;
    bool supportsPd = true;
    bool fiveDecimals = false;
    uint32_t captureRateHz = 2000000;
    // The negotiation on the sniffed CC line (its rate is captureRateHz).
    PdTrafficConfig pdTraffic;
    // Samples per upload after which the stream falls silent (0: no end), for
    // tests that need an exact count.
    uint64_t sampleLimit = 0;
    uint32_t seed = 1;
};

// One recording kept in the meter.
struct OfflineRecord {
    int8_t index = 0;
    uint32_t intervalMs = 1000;
    uint8_t format = 0;                             // 0: 6-byte samples, other: 4-byte samples
    std::vector<std::pair<double, double>> samples; // V, A
};

class MeterEmulator : public usb::VirtualDevice {
public:
    explicit MeterEmulator(MeterConfig config = {});
    ~MeterEmulator() override;

    // VirtualDevice
    uint16_t vendorId() const override { return m_config.vendorId; }
    uint16_t productId() const override { return m_config.productId; }
    int speed() const override { return m_config.speed; }
    bool receive(const QByteArray& data) override;
    void attached(usb::VirtualPort* port) override;
    void detached() override;

    MeterConfig config() const;
    // The emulator asks its host to re-enumerate it (into or out of the
    // bootloader); without a host the mode just changes in place.
    void setReenumerateHandler(std::function<void(bool bootloader)> handler);

    // Scripting for tests.
    void setSilent(bool silent);  // answers and streams nothing
    void setStallOut(bool stall); // OUT transfers time out
    void injectBytes(const QByteArray& bytes, bool endsTransfer = true);
    void corruptNextFrames(int count); // next frames leave with a bad checksum
    void setSplitFrames(bool split);   // each burst's last 3 bytes follow with the next burst
    void setOfflineRecords(std::vector<OfflineRecord> records);
    ChargerScenario& scenario() { return m_scenario; }

    // What the meter saw, for assertions.
    struct Received {
        uint8_t code;
        QByteArray payload;
    };
    std::vector<Received> receivedCommands() const;
    int invalidFrames() const { return m_invalidFrames.load(); }
    bool uploading() const { return m_uploading.load(); }
    int uploadRate() const; // samples per second
    int measurementReportsSent() const { return m_measurementReports.load(); }

    static std::vector<OfflineRecord> defaultRecords();

private:
    void run();
    void handleCommand(uint8_t code, const QByteArray& payload);
    void handleBootFrame(const QByteArray& frame);
    void queueReport(uint8_t code, const QByteArray& payload);
    void queueRaw(const QByteArray& bytes);
    void flushLocked(std::unique_lock<std::mutex>& lock);
    void streamDue(double now);
    QByteArray infoPayload() const;
    QByteArray measurementPayload(const BusSample* samples, int count) const;
    void sendOfflineData(int8_t index, uint16_t count);
    void startDetection();
    double elapsed() const;

    MeterConfig m_config;
    ChargerScenario m_scenario;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    usb::VirtualPort* m_port = nullptr;
    std::thread m_thread;
    bool m_stop = false;
    std::function<void(bool)> m_reenumerate;

    QByteArray m_pending;                                  // frames waiting to leave in the next burst
    std::deque<std::pair<double, QByteArray>> m_scheduled; // (time, frames) for later bursts
    std::vector<Received> m_received;
    std::vector<OfflineRecord> m_records;

    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_stallOut{false};
    std::atomic<bool> m_uploading{false};
    std::atomic<int> m_invalidFrames{0};
    std::atomic<int> m_measurementReports{0};
    int m_corrupt = 0;
    bool m_split = false;
    QByteArray m_splitTail; // the end of the last burst, sent with the next one
    int m_rateCode = 6;
    int m_viewIndex = 0;
    int m_page = 0;
    int m_language = 0;
    bool m_pdAnalysis = false;
    uint64_t m_samplesSent = 0;
    double m_streamStart = 0;
    uint64_t m_captureBytesSent = 0;
    std::unique_ptr<PdTraffic> m_traffic;
    double m_captureStart = 0;
    double m_lastMonitor = 0;
    std::chrono::steady_clock::time_point m_epoch;
};

} // namespace kvq::emulator
