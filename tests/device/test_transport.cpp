#include "app/base/logging.h"
#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/meteremulator.h"
#include "protocol/frames.h"
#include "testdevices.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

using namespace kvq;
using namespace kvq::usb;
using kvq::emulator::MeterConfig;
using kvq::emulator::MeterEmulator;

namespace {

struct Bus {
    VirtualUsbBus bus;
    USBDeviceSlot slot{bus};

    std::shared_ptr<MeterEmulator> plugMeter(VirtualAttachment where = {}, MeterConfig config = {},
                                             int* id = nullptr)
    {
        auto meter = std::make_shared<MeterEmulator>(config);
        const int plugged = bus.plug(meter, where);
        if (id)
            *id = plugged;
        return meter;
    }
    USBControl* connect() { return slot.connectFreeDevice({}) >= 0 ? slot.device() : nullptr; }
    ~Bus() { slot.clear(); }
};

// Waits until `predicate` holds, for at most five seconds.
template <typename F> bool eventually(F predicate)
{
    QElapsedTimer t;
    t.start();
    while (!predicate()) {
        if (t.elapsed() > 5000)
            return false;
        QThread::msleep(2);
    }
    return true;
}

QByteArray frameOf(const std::vector<MeterEmulator::Received>& received, uint8_t code)
{
    for (const auto& r : received)
        if (r.code == code)
            return r.payload;
    return QByteArray("missing");
}

} // namespace

TEST(Transport, Fnv1aKnownAnswers)
{
    EXPECT_EQ(fnv1a(nullptr, 0), 0x811C9DC5u);
    const uint8_t a = 'a';
    EXPECT_EQ(fnv1a(&a, 1), 0xE40C292Cu);
    const uint8_t foobar[] = {'f', 'o', 'o', 'b', 'a', 'r'};
    EXPECT_EQ(fnv1a(foobar, 6), 0xBF9CF968u);
}

TEST(Transport, PortIdsAndTheirFallbacks)
{
    const uint8_t hashed[] = {3, 1, 4};
    const int32_t fromPorts = int32_t(fnv1a(hashed, 3) & 0x7FFFFFFF);
    const struct {
        const char* name;
        VirtualAttachment where;
        int32_t expected;
    } cases[] = {
        {"port path", {3, {1, 4}, 4, 9}, fromPorts},
        {"same socket, other address", {3, {1, 4}, 4, 77}, fromPorts},
        {"no path: port number", {3, {}, 5, 9}, 3 * 256 + 5},
        {"no port number: address", {3, {}, 0, 9}, 3 * 256 + 9},
        {"nothing: list position", {3, {}, 0, 0}, 1},
    };
    for (const auto& c : cases) {
        Bus b;
        b.plugMeter(c.where);
        std::vector<USBDeviceEntry> entries = listDevices(b.bus);
        ASSERT_EQ(entries.size(), 1u) << c.name;
        EXPECT_EQ(entries[0].portId, c.expected) << c.name;
        releaseEntries(b.bus, entries);
        EXPECT_EQ(b.bus.openContexts(), 0) << c.name;
    }
}

TEST(Transport, EnumerationFindsBothMeterIdsAndNothingElse)
{
    Bus b;
    b.bus.plug(std::make_shared<Mouse>(), {1, {2}, 2, 3});
    MeterConfig second;
    second.vendorId = 0x2E3C;
    second.productId = 0x5780;
    b.plugMeter({1, {3}, 3, 4}, second);
    b.plugMeter({1, {4}, 4, 5});
    std::vector<USBDeviceEntry> entries = listDevices(b.bus);
    ASSERT_EQ(entries.size(), 2u);
    const uint8_t p3[] = {1, 3};
    EXPECT_EQ(entries[0].portId, int32_t(fnv1a(p3, 2) & 0x7FFFFFFF)); // list order kept
    releaseEntries(b.bus, entries);
}

TEST(Transport, ConnectFreeDeviceSkipsBusyAndDeniedMeters)
{
    {
        SCOPED_TRACE("every meter busy");
        Bus b;
        b.plugMeter({1, {1}});
        std::vector<USBDeviceEntry> e = listDevices(b.bus);
        const int32_t port = e[0].portId;
        releaseEntries(b.bus, e);
        b.slot.lastOpenError = 42;
        EXPECT_EQ(b.slot.connectFreeDevice({port}), -1);
        EXPECT_EQ(b.slot.lastOpenError.load(), 42);
        EXPECT_EQ(b.slot.device(), nullptr);
    }
    {
        SCOPED_TRACE("first refuses access, second opens");
        Bus b;
        int first = 0;
        b.plugMeter({1, {1}}, {}, &first);
        b.plugMeter({1, {2}});
        b.bus.setAccessDenied(first, true);
        const int32_t port = b.slot.connectFreeDevice({});
        EXPECT_NE(port, -1);
        ASSERT_NE(b.slot.device(), nullptr);
        EXPECT_EQ(b.slot.device()->portId(), port);
        EXPECT_EQ(b.slot.lastOpenError.load(), 0);
    }
    {
        SCOPED_TRACE("all refuse access");
        Bus b;
        int first = 0, second = 0;
        b.plugMeter({1, {1}}, {}, &first);
        b.plugMeter({1, {2}}, {}, &second);
        b.bus.setAccessDenied(first, true);
        b.bus.setAccessDenied(second, true);
        EXPECT_EQ(b.slot.connectFreeDevice({}), -1);
        EXPECT_EQ(b.slot.lastOpenError.load(), LIBUSB_ERROR_ACCESS);
        EXPECT_EQ(b.bus.openContexts(), 0);
    }
    {
        SCOPED_TRACE("connected and present: nothing changes");
        Bus b;
        b.plugMeter();
        const int32_t port = b.slot.connectFreeDevice({});
        ASSERT_NE(port, -1);
        USBControl* device = b.slot.device();
        EXPECT_TRUE(b.slot.isPresent());
        EXPECT_EQ(b.slot.connectFreeDevice({}), -1);
        EXPECT_EQ(b.slot.device(), device);
    }
}

TEST(Transport, ReadBatchSizeIsClamped)
{
    const struct {
        int requested;
        int submitted;
    } cases[] = {{0, 1}, {1, 1}, {8, 8}, {32, 32}, {40, 32}};
    Bus b;
    b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    for (const auto& c : cases) {
        const int before = b.bus.inTransfersSubmitted();
        QByteArray out;
        EXPECT_FALSE(device->read(out, 20, c.requested)); // the meter says nothing unless asked
        EXPECT_EQ(b.bus.inTransfersSubmitted() - before, c.submitted) << c.requested;
        EXPECT_FALSE(device->stopped.load());
    }
}

TEST(Transport, SilentMeterReadTimesOutWithoutStopping)
{
    Bus b;
    b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    QElapsedTimer t;
    t.start();
    QByteArray out;
    EXPECT_FALSE(device->read(out, 200, 8));
    EXPECT_GE(t.elapsed(), 190);
    EXPECT_FALSE(device->stopped.load());
    EXPECT_EQ(b.bus.transfersInFlight(), 0);
}

TEST(Transport, CommandsReachTheMeterAndRepliesComeBack)
{
    Bus b;
    auto meter = b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->queryDeviceInfo());
    QByteArray out;
    ASSERT_TRUE(eventually([&] { return device->readOnce(out, 512); }));
    protocol::ReportCursor cursor{reinterpret_cast<const uint8_t*>(out.constData()), out.size(), 0};
    const protocol::ReportFrame frame = protocol::nextReport(cursor);
    EXPECT_EQ(frame.code, protocol::RptDeviceInfo);
    EXPECT_EQ(frame.length, 30);

    EXPECT_TRUE(device->setViewIndex(-1));
    EXPECT_TRUE(device->setUploadRate(3));
    EXPECT_TRUE(device->triggerFull(0, QStringLiteral("PPS1"), 5000, 1));
    EXPECT_TRUE(device->requestOfflineData(1, 300));
    ASSERT_TRUE(eventually([&] { return meter->receivedCommands().size() == 5; }));
    const auto received = meter->receivedCommands();
    EXPECT_EQ(frameOf(received, protocol::CmdViewIndex), QByteArray::fromHex("00000000"));
    EXPECT_EQ(frameOf(received, protocol::CmdUploadRate), QByteArray::fromHex("01030000"));
    EXPECT_EQ(frameOf(received, protocol::CmdTrigger), QByteArray::fromHex("020018881301"));
    EXPECT_EQ(frameOf(received, protocol::CmdOfflineData), QByteArray::fromHex("00012c01"));
    EXPECT_EQ(meter->invalidFrames(), 0);
}

TEST(Transport, CommandRefusals)
{
    Bus b;
    auto meter = b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> payload(59, 1);
    EXPECT_FALSE(device->sendCommand(7, payload.data(), 59));
    EXPECT_TRUE(device->sendCommand(7, payload.data(), 58));

    device->needUp = true;
    EXPECT_FALSE(device->setUpload(true));
    EXPECT_TRUE(device->enterBootloader());
    EXPECT_TRUE(device->queryDeviceInfo());
    device->needUp = false;

    device->supPtl = false;
    EXPECT_FALSE(device->setPdAnalysis(1));
    device->supPtl = true;

    device->isBoot = true;
    EXPECT_FALSE(device->enterBootloader());
    EXPECT_FALSE(device->setUpload(true));
    EXPECT_TRUE(device->queryDeviceInfo());
    device->isBoot = false;

    ASSERT_TRUE(eventually([&] { return meter->receivedCommands().size() == 4; }));
    QThread::msleep(50); // and nothing more arrives
    const auto received = meter->receivedCommands();
    ASSERT_EQ(received.size(), 4u);
    const uint8_t codes[] = {7, protocol::CmdEnterBootloader, protocol::CmdDeviceInfo,
                             protocol::CmdDeviceInfo};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(received[i].code, codes[i]) << i;
    EXPECT_EQ(received[0].payload.size(), 58);
    device->stopped = true;
    EXPECT_FALSE(device->queryDeviceInfo());
}

TEST(Transport, StreamArrivesAsCheckedFrames)
{
    Bus b;
    auto meter = b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->setUploadRate(6)); // 1000 samples/s: 250 reports/s
    ASSERT_TRUE(device->setUpload(true));
    int measurements = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 600) {
        QByteArray out;
        if (!device->read(out, 200, 8))
            continue;
        protocol::ReportCursor cursor{reinterpret_cast<const uint8_t*>(out.constData()), out.size(), 0};
        for (auto f = protocol::nextReport(cursor); f.code != -1; f = protocol::nextReport(cursor))
            measurements += f.code == protocol::RptMeasurement && f.length == 57;
    }
    EXPECT_GT(measurements, 50);
    EXPECT_LE(measurements, meter->measurementReportsSent());
}

TEST(Transport, PartialTransferThatTimesOutKeepsItsBytes)
{
    Bus b;
    auto meter = b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    const QByteArray frame = protocol::buildReportFrame(2, QByteArray::fromHex("01000000"));
    meter->injectBytes(frame, /*endsTransfer=*/false); // packets without the short one that ends a transfer
    QByteArray out;
    EXPECT_TRUE(device->read(out, 100, 1));
    EXPECT_EQ(out, frame);
}

TEST(Transport, UnplugDuringReadStopsTheDeviceCleanly)
{
    QTemporaryDir tmp;
    startLog(tmp.path());
    const QString log = currentLogFile();
    Bus b;
    int id = 0;
    b.plugMeter({}, {}, &id);
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    auto reading = std::async(std::launch::async, [device] {
        QByteArray out;
        return device->read(out, 2000, 8);
    });
    QThread::msleep(50);
    b.bus.unplug(id);
    EXPECT_FALSE(reading.get());
    EXPECT_TRUE(device->stopped.load());
    EXPECT_EQ(b.bus.transfersInFlight(), 0);
    EXPECT_FALSE(b.slot.isPresent());
    b.slot.clear(); // frees the transfers: the virtual bus aborts if one were still in flight
    closeLog();
    EXPECT_TRUE(kvqtest::readAll(log).contains(": ReadError\n"));
}

// Emptying the slot (a disconnect, the exit) stops the device and destroys it
// only once its last user (the report reader) has given back its count.
TEST(Transport, SlotWaitsForTheLastUserBeforeDestroyingTheDevice)
{
    Bus b;
    b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    ++device->busy; // a reader inside its loop
    std::atomic<bool> released{false};
    auto user = std::async(std::launch::async, [&] {
        while (!device->stopped.load()) // the loop ends on the stopped flag
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // still reading
        released = true;
        --device->busy;
    });
    b.slot.clear();
    EXPECT_TRUE(released.load()); // clear returned only after the user was done
    EXPECT_EQ(b.slot.device(), nullptr);
    user.get();
}

TEST(Transport, StopDuringReadCancelsTheBatch)
{
    Bus b;
    b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    auto reading = std::async(std::launch::async, [device] {
        QByteArray out;
        return device->read(out, 5000, 8);
    });
    QThread::msleep(50);
    device->stopped = true;
    EXPECT_FALSE(reading.get());
    EXPECT_EQ(b.bus.transfersInFlight(), 0);
    b.slot.clear();
    EXPECT_EQ(b.bus.openContexts(), 0);
}

TEST(Transport, WritesThroughAStalledEndpointNeverReuseABusySlot)
{
    Bus b;
    auto meter = b.plugMeter();
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    meter->setStallOut(true);
    for (int i = 0; i < 6; ++i) // the fifth and sixth wait for slots 0 and 1 to time out
        EXPECT_TRUE(device->setViewIndex(int8_t(i)));
    meter->setStallOut(false);
    EXPECT_TRUE(device->setViewIndex(9));
    b.slot.clear(); // closing with writes in flight settles them first
}

TEST(Transport, BootloaderExchange)
{
    Bus b;
    MeterConfig boot;
    boot.isBoot = true;
    boot.deviceType = 0x30A;
    boot.hwVersion = 12;
    auto meter = b.plugMeter({}, boot);
    USBControl* device = b.connect();
    ASSERT_NE(device, nullptr);
    const QByteArray info = device->getBootInfo();
    ASSERT_GE(info.size(), 7);
    EXPECT_EQ(uint8_t(info[4]) | (uint8_t(info[5]) << 8), 0x30A);
    EXPECT_EQ(uint8_t(info[6]), 12);
    const uint8_t header[13] = {};
    EXPECT_EQ(device->setFwInfo(header), 0);
    EXPECT_EQ(device->startSendFw(), 0);
    EXPECT_EQ(device->sendFwData(header, 13), 0);
    EXPECT_EQ(device->sendDataEnd(), 0);
    EXPECT_EQ(device->bootSequence(), 5);
    meter->setSilent(true); // no reply: status 1, and the sequence still moves on
    EXPECT_EQ(device->startApp(), 1);
    EXPECT_EQ(device->bootSequence(), 6);
}
