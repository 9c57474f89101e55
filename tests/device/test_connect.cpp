#include "app/base/logging.h"
#include "app/base/sharedmemoryhelper.h"
#include "app/windowerror.h"
#include "device/connectdevice.h"
#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/meteremulator.h"
#include "testdevices.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <memory>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace kvq::usb;
using kvq::emulator::MeterConfig;
using kvq::emulator::MeterEmulator;

namespace {

// One running instance of the program as far as connecting goes: its slot,
// its view of the shared block, its device mutex, its error channel and its
// connector. Errors are "closed by the user" as soon as they are shown.
struct Instance {
    explicit Instance(VirtualUsbBus& bus, const QString& key) : slot(bus), shared(key)
    {
        connector = std::make_unique<ConnectDevice>(&slot, &errors);
        QObject::connect(&errors, &WindowError::error_msgChanged, &errors, [this] {
            shown.append(errors.errorMsg());
            if (autoClose)
                errors.setIsClose(true);
        });
    }
    ~Instance()
    {
        connector.reset();
        slot.clear();
    }
    // Runs one request on the connector's thread, waiting for it to finish
    // while this thread keeps delivering the error channel's events.
    template <typename F> void run(F request)
    {
        std::atomic<bool> done{false};
        QMetaObject::invokeMethod(
            connector.get(),
            [&] {
                request();
                done = true;
            },
            Qt::QueuedConnection);
        // Not a spin: the connector and the emulated meter need the CPU.
        kvqtest::waitUntil([&] { return done.load(); }, 60000);
        QCoreApplication::processEvents(); // the last queued error signal
    }
    void plug(bool isIn, bool useConnect)
    {
        run([&] { connector->onDevicePlug(&shared, &mutex, isIn, useConnect); });
    }
    void disconnect()
    {
        run([&] { connector->onDisconnect(&shared, &mutex); });
    }

    USBDeviceSlot slot;
    SharedMemoryHelper shared;
    QMutex mutex;
    WindowError errors;
    QStringList shown;
    bool autoClose = true;
    std::unique_ptr<ConnectDevice> connector;
};

struct Fixture {
    Fixture() : key(QUuid::createUuid().toString())
    {
        kvq::startLog(tmp.path());
        log = kvq::currentLogFile();
    }
    ~Fixture() { kvq::closeLog(); }
    QString logText()
    {
        kvq::writeLog(QStringLiteral("-"), true);
        return QString::fromUtf8(kvqtest::readAll(log));
    }
    int plugMeter(MeterConfig config = {}, VirtualAttachment where = {})
    {
        meters.push_back(std::make_shared<MeterEmulator>(config));
        return bus.plug(meters.back(), where);
    }

    QTemporaryDir tmp;
    QString log;
    QString key;
    VirtualUsbBus bus;
    std::vector<std::shared_ptr<MeterEmulator>> meters;
};

} // namespace

TEST(Connect, HandshakeConnectsAndListsThePort)
{
    Fixture f;
    f.plugMeter();
    Instance app(f.bus, f.key);
    QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
    app.plug(true, false);
    ASSERT_EQ(result.count(), 1);
    const int port = result[0][0].toInt();
    const QJsonObject json = result[0][1].toJsonObject();
    EXPECT_TRUE(result[0][2].toBool());
    EXPECT_EQ(json.value("model").toString(), QStringLiteral("KVQ-M"));
    EXPECT_EQ(json.value("sn").toString(), QStringLiteral("KQ240001"));
    EXPECT_EQ(json.value("version").toString(), QStringLiteral("V1.2.3"));
    EXPECT_FALSE(json.contains("needUp"));
    EXPECT_EQ(app.shared.deviceIds(), QVector<int32_t>{port});
    ASSERT_NE(app.slot.device(), nullptr);
    EXPECT_EQ(app.connector->currentDevice(), app.slot.device());
    const QString log = f.logText();
    EXPECT_TRUE(log.contains(QStringLiteral(": 设备接入端口:%1\n").arg(port)));
    EXPECT_TRUE(log.contains(QStringLiteral(":     连接设备端口:%1\n").arg(port)));
    EXPECT_TRUE(log.contains(QStringLiteral(":     第1次尝试连接\n")));
    EXPECT_TRUE(log.contains(QStringLiteral(":     设备连接成功:KVQ-M,端口:%1,速度:2.0,FW:123\n").arg(port)));
    EXPECT_TRUE(app.shown.isEmpty());
}

TEST(Connect, FirmwareAgeAndBootloaderRules)
{
    const struct {
        const char* name;
        int type;
        int fwTenths;
        bool boot;
        bool needUp;
    } cases[] = {
        {"type 2, V1.7", 2, 17, false, true},
        {"type 0x30A, V1.7", 0x30A, 17, false, true},
        {"type 2, V1.7, in bootloader", 2, 17, true, false},
        {"type 2, V1.8", 2, 18, false, false},
        {"type 3, V1.7", 3, 17, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        MeterConfig config;
        config.longInfo = false;
        config.deviceType = c.type;
        config.fwTenths = c.fwTenths;
        config.isBoot = c.boot;
        f.plugMeter(config);
        Instance app(f.bus, f.key);
        QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
        QSignalSpy schedule(app.connector.get(), &ConnectDevice::SendFwUpdateSchedule);
        app.plug(true, false);
        ASSERT_EQ(result.count(), 1);
        EXPECT_TRUE(result[0][2].toBool()); // an old firmware still connects
        const QJsonObject json = result[0][1].toJsonObject();
        EXPECT_EQ(json.contains("needUp"), c.needUp);
        ASSERT_NE(app.slot.device(), nullptr);
        EXPECT_EQ(app.slot.device()->needUp.load(), c.needUp);
        EXPECT_EQ(app.shown.contains(QStringLiteral("固件版本过低，请升级固件后再使用。")), c.needUp);
        EXPECT_EQ(schedule.count(), c.boot ? 1 : 0);
        EXPECT_EQ(json.value("model").toString().endsWith(" boot"), c.boot);
        if (c.needUp) { // only the query and the bootloader command leave now
            EXPECT_FALSE(app.slot.device()->setUpload(true));
            EXPECT_TRUE(app.slot.device()->enterBootloader());
        }
    }
}

TEST(Connect, RequestsArrivingWhileAMessageIsOpenRunAfterIt)
{
    Fixture f;
    MeterConfig config;
    config.longInfo = false;
    config.deviceType = 2;
    config.fwTenths = 17; // too old: the handshake waits for the user to close the message
    f.plugMeter(config);
    Instance app(f.bus, f.key);
    app.autoClose = false;
    QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
    ConnectDevice* c = app.connector.get();
    auto queue = [&](auto request) { QMetaObject::invokeMethod(c, request, Qt::QueuedConnection); };

    queue([&] { c->onDevicePlug(&app.shared, &app.mutex, true, false); });
    ASSERT_TRUE(kvqtest::waitUntil([&] { return !app.shown.isEmpty(); }));
    // Meanwhile: another arrival, a removal of something else, the user's disconnect.
    queue([&] { c->onDevicePlug(&app.shared, &app.mutex, true, false); });
    queue([&] { c->onDevicePlug(&app.shared, &app.mutex, false, false); });
    queue([&] { c->onDisconnect(&app.shared, &app.mutex); });
    kvqtest::waitUntil([] { return false; }, 300);
    EXPECT_EQ(result.count(), 0); // still waiting for the user

    app.errors.setIsClose(true);
    ASSERT_TRUE(kvqtest::waitUntil([&] { return result.count() == 2; }));
    EXPECT_TRUE(result[0][2].toBool());
    EXPECT_EQ(result[1][0].toInt(), -1);
    EXPECT_EQ(app.slot.device(), nullptr);
    EXPECT_TRUE(app.shared.deviceIds().isEmpty());

    // The connector is still alive: connecting and disconnecting work again.
    app.autoClose = true;
    app.plug(true, true);
    ASSERT_EQ(result.count(), 3);
    EXPECT_TRUE(result[2][2].toBool());
    app.disconnect();
    ASSERT_EQ(result.count(), 4);
    EXPECT_EQ(app.slot.device(), nullptr);
}

TEST(Connect, FailedHandshakesGiveUpAfterTheSixthAttempt)
{
    const struct {
        const char* name;
        bool silent;
        int bootVersion;
    } cases[] = {{"boot loader version 0", false, 0}, {"meter does not answer", true, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        MeterConfig config;
        config.bootVersion = c.bootVersion;
        f.plugMeter(config);
        f.meters.back()->setSilent(c.silent);
        Instance app(f.bus, f.key);
        QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
        app.plug(true, false);
        ASSERT_EQ(result.count(), 1);
        EXPECT_FALSE(result[0][2].toBool());
        EXPECT_EQ(result[0][1].toJsonObject().value("msg").toString(), QStringLiteral("设备连接异常"));
        EXPECT_EQ(app.slot.device(), nullptr);
        EXPECT_TRUE(app.shared.deviceIds().isEmpty());
        const QString log = f.logText();
        EXPECT_TRUE(log.contains(QStringLiteral("第6次尝试连接")));
        EXPECT_FALSE(log.contains(QStringLiteral("第7次尝试连接")));
        EXPECT_EQ(log.count(QStringLiteral("获取固件信息失败...")), c.silent ? 6 : 5);
        EXPECT_TRUE(log.contains(QStringLiteral(":     设备连接异常\n")));
    }
}

TEST(Connect, AccessDeniedAndNoMeterMessages)
{
    const QString denied = QStringLiteral("读取设备权限不足，请提升程序权限再尝试。");
    const QString none = QStringLiteral("无设备可连接。");
    const struct {
        const char* name;
        int meters;
        bool denyFirst;
        bool denySecond;
        bool useConnect;
        bool connects;
        QString message;
    } cases[] = {
        {"no meter, start-up scan", 0, false, false, false, false, QString()},
        {"no meter, user asked", 0, false, false, true, false, none},
        {"only meter refuses access", 1, true, false, false, false, denied},
        {"first refuses, second opens", 2, true, false, false, true, QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        std::vector<int> ids;
        for (int i = 0; i < c.meters; ++i)
            ids.push_back(f.plugMeter({}, {1, {uint8_t(i + 1)}}));
        if (c.denyFirst)
            f.bus.setAccessDenied(ids[0], true);
        Instance app(f.bus, f.key);
        QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
        app.plug(true, c.useConnect);
        EXPECT_EQ(result.count(), c.connects ? 1 : 0);
        EXPECT_EQ(app.slot.device() != nullptr, c.connects);
        EXPECT_EQ(app.shown, c.message.isEmpty() ? QStringList() : QStringList{c.message});
        EXPECT_EQ(app.slot.lastOpenError.load(), 0);
    }
}

TEST(Connect, OtherDevicesComingAndGoingChangeNothing)
{
    Fixture f;
    f.plugMeter();
    Instance app(f.bus, f.key);
    QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
    app.plug(true, false);
    ASSERT_EQ(result.count(), 1);
    USBControl* meter = app.slot.device();
    const QVector<int32_t> ids = app.shared.deviceIds();

    const int mouse = f.bus.plug(std::make_shared<Mouse>(), {1, {7}});
    app.plug(true, false);
    f.bus.unplug(mouse);
    app.plug(false, false);

    EXPECT_EQ(result.count(), 1);
    EXPECT_EQ(app.slot.device(), meter);
    EXPECT_EQ(app.shared.deviceIds(), ids);
    EXPECT_TRUE(app.shown.isEmpty());
}

TEST(Connect, UnplugAndUserDisconnectDropTheMeter)
{
    Fixture f;
    const int id = f.plugMeter();
    Instance app(f.bus, f.key);
    QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
    app.plug(true, false);
    ASSERT_EQ(result.count(), 1);

    f.bus.unplug(id);
    app.plug(false, false);
    ASSERT_EQ(result.count(), 2);
    EXPECT_EQ(result[1][0].toInt(), -1);
    EXPECT_TRUE(result[1][1].toJsonObject().isEmpty());
    EXPECT_FALSE(result[1][2].toBool());
    EXPECT_EQ(app.slot.device(), nullptr);
    EXPECT_TRUE(app.shared.deviceIds().isEmpty());
    EXPECT_TRUE(f.logText().contains(QStringLiteral(": 设备断开连接\n")));

    f.plugMeter();
    app.plug(true, true);
    ASSERT_EQ(result.count(), 3);
    EXPECT_TRUE(result[2][2].toBool());
    app.disconnect();
    ASSERT_EQ(result.count(), 4);
    EXPECT_EQ(result[3][0].toInt(), -1);
    EXPECT_EQ(app.slot.device(), nullptr);
    EXPECT_TRUE(app.shared.deviceIds().isEmpty());
}

// An instance killed while it held a meter leaves its port id and its count in
// the shared block; the next instance reclaims both and connects the meter.
TEST(Connect, MeterOfAKilledInstanceIsConnectable)
{
    Fixture f;
    f.plugMeter();
    Instance app(f.bus, f.key);
    QSignalSpy result(app.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
    app.plug(true, false);
    ASSERT_EQ(result.count(), 1);
    const int port = result[0][0].toInt();
    app.disconnect();

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t other = ::fork();
    if (other == 0) { // another instance: takes the meter's port, then is killed
        SharedMemoryHelper shared(f.key);
        shared.registerInstance();
        shared.addDeviceId(port);
        const char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(other, 0);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    app.plug(true, false); // held by a live instance: skipped
    EXPECT_EQ(result.count(), 2);
    EXPECT_EQ(app.slot.device(), nullptr);
    EXPECT_EQ(app.shared.byteAt(SharedMemoryHelper::kInstances), 1);

    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    app.plug(true, false);
    ASSERT_EQ(result.count(), 3);
    EXPECT_TRUE(result[2][2].toBool());
    EXPECT_EQ(app.shared.deviceIds(), QVector<int32_t>{port});
    EXPECT_EQ(app.shared.byteAt(SharedMemoryHelper::kInstances), 0);
}

TEST(Connect, TwoInstancesShareTheMetersThroughThePortList)
{
    {
        SCOPED_TRACE("two meters: one each");
        Fixture f;
        f.plugMeter({}, {1, {1}});
        f.plugMeter({}, {1, {2}});
        Instance first(f.bus, f.key);
        Instance second(f.bus, f.key);
        first.plug(true, false);
        second.plug(true, false);
        ASSERT_NE(first.slot.device(), nullptr);
        ASSERT_NE(second.slot.device(), nullptr);
        EXPECT_NE(first.slot.device()->portId(), second.slot.device()->portId());
        EXPECT_EQ(first.shared.deviceIds().size(), 2);
        EXPECT_EQ(second.shared.deviceIds(), first.shared.deviceIds());
    }
    {
        SCOPED_TRACE("one meter: the second instance stays quiet");
        Fixture f;
        f.plugMeter();
        Instance first(f.bus, f.key);
        Instance second(f.bus, f.key);
        first.plug(true, false);
        QSignalSpy result(second.connector.get(), &ConnectDevice::SendDeviceCreanInfo);
        second.plug(true, false);
        EXPECT_NE(first.slot.device(), nullptr);
        EXPECT_EQ(second.slot.device(), nullptr);
        EXPECT_EQ(result.count(), 0);
        EXPECT_TRUE(second.shown.isEmpty());
    }
}
