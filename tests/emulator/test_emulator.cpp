#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/meteremulator.h"
#include "emulator/simulation.h"
#include "protocol/deviceinfo.h"
#include "protocol/frames.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <condition_variable>

#include <mutex>

using namespace kvq;
using namespace kvq::protocol;
using kvq::emulator::MeterConfig;
using kvq::emulator::MeterEmulator;

namespace {

// Collects what the meter sends, as the host would receive it.
class Collector final : public usb::VirtualPort {
public:
    void send(const QByteArray& data, bool) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes.append(data);
        }
        m_arrived.notify_all();
    }
    // Waits until the bytes received hold `count` frames of `code` (at most
    // `ms`), then returns the frames as take() does.
    std::vector<std::pair<int, QByteArray>> await(int code, size_t count, int ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            size_t found = 0;
            ReportCursor c{reinterpret_cast<const uint8_t*>(m_bytes.constData()), m_bytes.size(), 0};
            for (ReportFrame f = nextReport(c); f.code != -1; f = nextReport(c))
                found += f.code == code;
            return found >= count;
        });
        lock.unlock();
        return take();
    }
    // The frames received so far (and forgets them).
    std::vector<std::pair<int, QByteArray>> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::pair<int, QByteArray>> frames;
        ReportCursor c{reinterpret_cast<const uint8_t*>(m_bytes.constData()), m_bytes.size(), 0};
        for (ReportFrame f = nextReport(c); f.code != -1; f = nextReport(c))
            frames.emplace_back(f.code, QByteArray(reinterpret_cast<const char*>(f.payload), f.length));
        m_bytes.clear();
        return frames;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    QByteArray m_bytes;
};

struct Meter {
    explicit Meter(MeterConfig config = {}) : meter(config) { meter.attached(&port); }
    ~Meter() { meter.detached(); }
    void command(uint8_t code, QByteArray payload)
    {
        meter.receive(
            buildCommandFrame(code, reinterpret_cast<const uint8_t*>(payload.constData()), payload.size()));
    }
    // Frames that arrive within `ms` (a check that nothing arrives, or a
    // stream measured over a time).
    std::vector<std::pair<int, QByteArray>> collect(int ms)
    {
        QThread::msleep(ulong(ms));
        return port.take();
    }
    // The frames up to the first `count` of `code`, however long the meter takes (at most 5 s).
    std::vector<std::pair<int, QByteArray>> awaitReport(int code, size_t count = 1)
    {
        return port.await(code, count, 5000);
    }
    Collector port;
    MeterEmulator meter;
};

std::vector<QByteArray> ofCode(const std::vector<std::pair<int, QByteArray>>& frames, int code)
{
    std::vector<QByteArray> out;
    for (const auto& [c, payload] : frames)
        if (c == code)
            out.push_back(payload);
    return out;
}

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

} // namespace

TEST(Emulator, AnswersEachCommandWithItsReport)
{
    const struct {
        const char* name;
        uint8_t code;
        QByteArray payload;
        int report;
        QByteArray expected; // empty: only the length is checked
        int length;
    } cases[] = {
        {"information, 30-byte form", CmdDeviceInfo, hex("0000"), RptDeviceInfo, {}, 30},
        {"view index set", CmdViewIndex, hex("03010101"), RptViewIndex, hex("03000000"), 4},
        {"view index query", CmdViewIndex, hex("00000000"), RptViewIndex, hex("00000000"), 4},
        {"upload rate set", CmdUploadRate, hex("01050000"), RptUploadRate, hex("00050000"), 4},
        {"upload rate out of range", CmdUploadRate, hex("01090000"), RptUploadRate, hex("00060000"), 4},
        {"language", CmdLanguage, hex("01"), RptLanguage, hex("0100"), 2},
        {"data record page", CmdDataRecordPage, hex("0100"), RptDataRecordPage, hex("0100"), 2},
        {"trigger PD", CmdTrigger, hex("010000000000"), RptTrigger, {}, 21},
        {"trigger PPS1", CmdTrigger, hex("020018881301"), RptTrigger, {}, 22},
        {"enter bootloader", CmdEnterBootloader, hex("0100"), RptEnterBootloader, hex("00"), 1},
    };
    for (const auto& c : cases) {
        Meter m;
        m.command(c.code, c.payload);
        const auto reports = ofCode(m.awaitReport(c.report), c.report);
        ASSERT_EQ(reports.size(), 1u) << c.name;
        EXPECT_EQ(reports[0].size(), c.length) << c.name;
        if (!c.expected.isEmpty()) {
            EXPECT_EQ(reports[0], c.expected) << c.name;
        }
    }
}

TEST(Emulator, InformationMatchesItsConfiguration)
{
    MeterConfig config;
    config.longInfo = false;
    config.fwTenths = 17;
    config.deviceType = 0x30A;
    config.fiveDecimals = true;
    config.supportsPd = false;
    Meter m(config);
    m.command(CmdDeviceInfo, hex("0000"));
    const auto info = ofCode(m.awaitReport(RptDeviceInfo), RptDeviceInfo);
    ASSERT_EQ(info.size(), 1u);
    DeviceInfo decoded;
    ASSERT_TRUE(
        decodeDeviceInfo(reinterpret_cast<const uint8_t*>(info[0].constData()), info[0].size(), &decoded));
    EXPECT_EQ(decoded.fwVersion, 17);
    EXPECT_EQ(decoded.deviceType, 0x30A);
    EXPECT_EQ(decoded.decimals, 5);
    EXPECT_FALSE(decoded.supPtl);
    EXPECT_EQ(decoded.serial, config.serial);
    EXPECT_EQ(decoded.model, config.model);
}

TEST(Emulator, MeasurementsFollowTheRate)
{
    const struct {
        int code;
        int rate;
        bool fourSamples;
    } cases[] = {{4, 200, false}, {5, 500, true}, {6, 1000, true}};
    for (const auto& c : cases) {
        Meter m;
        m.command(CmdUploadRate, QByteArray::fromHex("01") + char(c.code) + hex("0000"));
        m.command(CmdUpload, hex("0100"));
        const auto reports = ofCode(m.collect(400), RptMeasurement);
        m.command(CmdUpload, hex("0000"));
        const double expected = 0.4 * c.rate / (c.fourSamples ? 4 : 1);
        EXPECT_GT(double(reports.size()), expected * 0.5) << c.rate;
        EXPECT_LT(double(reports.size()), expected * 1.5) << c.rate;
        ASSERT_FALSE(reports.empty());
        const QByteArray& p = reports.back();
        ASSERT_EQ(p.size(), 57);
        const auto v = [&p](int k) {
            return (uint8_t(p[3 * k]) | uint8_t(p[3 * k + 1]) << 8 | uint8_t(p[3 * k + 2]) << 16) / 100000.0;
        };
        EXPECT_NEAR(v(0), 5.0, 0.3); // the charger starts at 5 V
        // Below 500 samples/s only sample 0 counts and the others repeat it.
        EXPECT_EQ(v(1) == v(0) && v(2) == v(0) && v(3) == v(0), !c.fourSamples) << c.rate;
        const double cc1 = (uint8_t(p[40]) | uint8_t(p[41]) << 8) / 1000.0;
        EXPECT_NEAR(cc1, 1.68, 0.05);
    }
}

TEST(Emulator, OfflineRecordsInBothFormats)
{
    Meter m;
    m.command(CmdOfflineRecords, hex("0005"));
    const auto list = ofCode(m.awaitReport(RptOfflineInfo), RptOfflineInfo);
    ASSERT_EQ(list.size(), 2u);
    for (const QByteArray& r : list) {
        ASSERT_EQ(r.size(), 21);
        EXPECT_EQ(r[0], 2); // records in the meter
    }
    const struct {
        int index;
        int sampleSize;
        int samples;
    } cases[] = {{0, 6, 120}, {1, 4, 300}};
    for (const auto& c : cases) {
        EXPECT_EQ(int(uint8_t(list[size_t(c.index)][20]) == 0 ? 6 : 4), c.sampleSize);
        EXPECT_EQ(qFromLittleEndian<uint16_t>(list[size_t(c.index)].constData() + 10), c.samples);
        m.command(CmdOfflineData,
                  QByteArray(1, 0) + char(c.index) + char(c.samples & 0xFF) + char(c.samples >> 8));
        const auto data = ofCode(m.collect(200), RptOfflineData);
        int total = 0;
        for (const QByteArray& d : data) {
            EXPECT_EQ(d.size() % c.sampleSize, 0);
            total += d.size() / c.sampleSize;
        }
        EXPECT_EQ(total, c.samples) << c.index;
        const QByteArray& first = data.front();
        const double volts =
            c.sampleSize == 6
                ? (uint8_t(first[0]) | uint8_t(first[1]) << 8 | (uint8_t(first[2]) & 0x7F) << 16) / 1000.0
                : (uint8_t(first[0]) | (uint8_t(first[1]) & 0x7F) << 8) / 1000.0;
        EXPECT_GT(volts, 4.0);
        EXPECT_LT(volts, 21.0);
    }
    m.command(CmdOfflineDelete, hex("0000"));
    EXPECT_EQ(ofCode(m.awaitReport(RptOfflineDelete), RptOfflineDelete),
              std::vector<QByteArray>{hex("0000")});
    m.command(CmdOfflineRecords, hex("0005"));
    EXPECT_EQ(ofCode(m.awaitReport(RptOfflineInfo), RptOfflineInfo).size(), 1u);
    m.command(CmdOfflineDelete, hex("0005"));
    EXPECT_EQ(ofCode(m.awaitReport(RptOfflineDelete), RptOfflineDelete),
              std::vector<QByteArray>{hex("0500")});
    m.command(CmdOfflineRecords, hex("0005"));
    const auto none = ofCode(m.awaitReport(RptOfflineInfo), RptOfflineInfo);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0][0], 0); // no records left
}

TEST(Emulator, FastChargeTriggerAndDetection)
{
    Meter m;
    m.command(CmdTrigger, hex("020018881301")); // PD, PPS1 at 5000 mV
    auto trigger = ofCode(m.awaitReport(RptTrigger), RptTrigger);
    ASSERT_EQ(trigger.size(), 1u);
    EXPECT_EQ(trigger[0][1], 1);                                                     // triggered
    EXPECT_EQ(qFromLittleEndian<quint64>(trigger[0].constData() + 2) >> 24 & 1, 1u); // PPS1 offered
    EXPECT_EQ(trigger[0][10], 1);                                                    // adjustable
    EXPECT_EQ(qFromLittleEndian<uint16_t>(trigger[0].constData() + 11), 5000);
    EXPECT_EQ(uint8_t(trigger[0][21]), 24);
    m.command(CmdTrigger, hex("010500000000")); // AFC: this charger has none
    trigger = ofCode(m.awaitReport(RptTrigger), RptTrigger);
    ASSERT_EQ(trigger.size(), 1u);
    EXPECT_EQ(trigger[0][1], 0);

    m.command(CmdAutoDetect, hex("01000000"));
    const auto frames = m.collect(2500);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().first, RptClearDetect);
    const auto lines = ofCode(frames, RptDetectLog);
    EXPECT_EQ(lines.size(), 16u);
    for (const QByteArray& line : lines)
        EXPECT_GE(line.size(), 5);
}

TEST(Emulator, ProtocolAnalysisStreamsTheCaptureLine)
{
    Meter m;
    m.command(CmdPdAnalysis, hex("0100"));
    const auto frames = m.collect(200);
    const auto state = ofCode(frames, RptPdState);
    ASSERT_EQ(state.size(), 1u);
    EXPECT_EQ(state[0], hex("010080841e00")); // state 1 at 2 MHz
    EXPECT_EQ(ofCode(frames, RptCableInfo).size(), 1u);
    int captured = 0;
    for (const QByteArray& d : ofCode(frames, RptPdData))
        captured += d.size();
    EXPECT_GT(captured, 2000000 / 8 / 10); // at least 100 ms of the line
    m.command(CmdPdAnalysis, hex("0000"));
    m.collect(30);
    EXPECT_TRUE(ofCode(m.collect(50), RptPdData).empty());
}

TEST(Emulator, InvalidFramesAreCountedAndIgnored)
{
    Meter m;
    QByteArray frame = buildCommandFrame(CmdDeviceInfo, reinterpret_cast<const uint8_t*>("\0\0"), 2);
    frame[5] = char(frame[5] + 1); // checksum
    m.meter.receive(frame);
    m.meter.receive(frame.left(20));
    EXPECT_EQ(m.meter.invalidFrames(), 2);
    EXPECT_TRUE(m.collect(30).empty());
}

TEST(Emulator, EntersAndLeavesItsBootloaderByReEnumerating)
{
    usb::VirtualUsbBus bus;
    emulator::MeterSimulation simulation(bus);
    const int firstId = simulation.plugId();
    usb::USBDeviceSlot slot(bus);
    ASSERT_NE(slot.connectFreeDevice({}), -1);
    ASSERT_TRUE(slot.device()->enterBootloader());
    QElapsedTimer t;
    t.start();
    while ((simulation.plugId() == 0 || simulation.plugId() == firstId) && t.elapsed() < 5000)
        QThread::msleep(10);
    EXPECT_TRUE(simulation.meter()->config().isBoot);
    slot.clear();
    ASSERT_NE(slot.connectFreeDevice({}), -1);
    EXPECT_EQ(slot.device()->startApp(), 0);
    const int bootId = simulation.plugId();
    t.restart();
    while ((simulation.plugId() == 0 || simulation.plugId() == bootId) && t.elapsed() < 5000)
        QThread::msleep(10);
    EXPECT_FALSE(simulation.meter()->config().isBoot);
    slot.clear();
}
