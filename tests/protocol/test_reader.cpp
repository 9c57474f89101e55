#include "app/base/logging.h"
#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/meteremulator.h"
#include "protocol/frames.h"
#include "protocol/offlinerecordmodel.h"
#include "protocol/threadread.h"
#include "testsupport.h"
#include "waveform/acquisition.h"
#include "waveform/segment.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

using namespace kvq;
using namespace kvq::waveform;
using kvq::protocol::AlarmMonitor;

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A reader with a live store and a capture store, fed report by report.
struct Reader {
    QTemporaryDir tmp;
    Segment segment;
    std::unique_ptr<WaveformData> store = std::make_unique<WaveformData>();
    std::unique_ptr<ThreadRead> reader;
    QString log;

    explicit Reader(int rate = 1000, int decimals = 4)
    {
        startLog(tmp.path());
        log = currentLogFile();
        segment.setMemoryDir(tmp.path());
        acquisition().uploadRate = rate;
        acquisition().decimals = decimals;
        store->setRate(rate);
        store->setLastTime(-(1000 / rate));
        reader = std::make_unique<ThreadRead>(&segment, store.get());
    }
    ~Reader()
    {
        reader.reset();
        closeLog();
        acquisition().uploadRate = 1000;
        acquisition().decimals = 4;
    }
    void feed(int code, const QByteArray& payload)
    {
        reader->dispatch(code, reinterpret_cast<const uint8_t*>(payload.constData()), payload.size());
    }
    QString logText()
    {
        writeLog(QStringLiteral("-"), true);
        return QString::fromUtf8(kvqtest::readAll(log));
    }
};

// A measurement payload whose four samples carry the given raw voltages.
QByteArray measurement(std::initializer_list<uint32_t> rawVolts, uint32_t rawAmps = 100000)
{
    QByteArray p(57, '\0');
    int k = 0;
    for (uint32_t v : rawVolts) {
        p[3 * k] = char(v & 0xFF);
        p[3 * k + 1] = char(v >> 8 & 0xFF);
        p[3 * k + 2] = char(v >> 16 & 0xFF);
        p[12 + 3 * k] = char(rawAmps & 0xFF);
        p[12 + 3 * k + 1] = char(rawAmps >> 8 & 0xFF);
        p[12 + 3 * k + 2] = char(rawAmps >> 16 & 0xFF);
        p[40 + 2 * k] = char(0xA4); // CC1 1.700 V
        p[41 + 2 * k] = char(0x06);
        ++k;
    }
    return p;
}

std::vector<float> voltages(const WaveformData& s)
{
    return std::vector<float>(s.values(Voltage), s.values(Voltage) + s.count());
}

} // namespace

TEST(Reader, MeasurementsFollowRateAndDecimals)
{
    const struct {
        const char* name;
        int rate;
        int decimals;
        std::vector<float> stored;
    } cases[] = {
        {"200/s: sample 0 only", 200, 4, {5.1234f}},
        {"500/s: all four in order", 500, 4, {5.1234f, 9.0f, 15.0f, 20.0f}},
        {"five decimals keep 10 uV", 200, 5, {5.12345f}},
    };
    for (const auto& c : cases) {
        Reader r(c.rate, c.decimals);
        r.feed(4, measurement({512345, 900000, 1500000, 2000000}));
        EXPECT_EQ(voltages(*r.store), c.stored) << c.name;
        EXPECT_FLOAT_EQ(r.store->values(CC1)[0], 1.7f) << c.name;
    }
    Reader offline;
    offline.store->setOffline(true, 1000, 0);
    offline.feed(4, measurement({512345}));
    EXPECT_EQ(offline.store->count(), 0); // live samples do not mix into an offline record
}

TEST(Reader, LengthErrorsAndSilentReports)
{
    const struct {
        int code;
        QByteArray payload;
        const char* logged; // nullptr: nothing
    } cases[] = {
        {4, QByteArray(2, '\0'), nullptr}, // keep-alive
        {4, QByteArray(56, '\0'), "电流电压等数据 上报长度异常：上传长度为56"},
        {13, QByteArray(1, '\0'), "协议解析数据 上报长度异常：上传长度为1"},
        {2, QByteArray(3, '\0'), "界面索引 上报长度异常：上传长度为3"},
        {8, QByteArray(20, '\0'), "离线记录信息 上报长度异常：上传长度为20"},
        {25, QByteArray(54, '\0'), "PD监控协议字符串及温度 上报长度异常：上传长度为54"},
        {15, hex("00"), nullptr},
        {20, hex("00"), nullptr}, // a code without a handler
    };
    for (const auto& c : cases) {
        Reader r;
        r.feed(c.code, c.payload);
        const QString log = r.logText();
        if (c.logged)
            EXPECT_TRUE(log.contains(QString::fromUtf8(c.logged) + "\n")) << c.code << log.toStdString();
        else
            EXPECT_FALSE(log.contains(QStringLiteral("异常"))) << c.code;
    }
}

TEST(Reader, SettingsEchoes)
{
    Reader r;
    QSignalSpy view(r.reader.get(), &ThreadRead::sendViewIndex);
    QSignalSpy sps(r.reader.get(), &ThreadRead::sendWaveformDataSPS);
    QSignalSpy lang(r.reader.get(), &ThreadRead::sendLangSet);
    QSignalSpy page(r.reader.get(), &ThreadRead::sendDataRecordSwitch);
    QSignalSpy pd(r.reader.get(), &ThreadRead::sendPtlAnalysisState);
    r.feed(2, hex("03000000"));
    r.feed(3, hex("00070000")); // unknown code: 2 per second
    r.feed(7, hex("0101"));     // status not 0: nothing
    r.feed(7, hex("0100"));
    r.feed(11, hex("ff00"));
    r.feed(12, hex("010080841e00")); // state 1 at 2 MHz
    EXPECT_EQ(view.at(0).at(0).toString(), QStringLiteral("3"));
    ASSERT_EQ(sps.count(), 2);
    EXPECT_EQ(sps.at(0).at(0).toString(), QStringLiteral("2"));
    EXPECT_EQ(sps.at(1).at(0).toString(), QStringLiteral("20"));
    EXPECT_EQ(acquisition().uploadRate.load(), 20);
    EXPECT_EQ(r.store->rate(), 20);
    EXPECT_EQ(r.store->lastTime(), -50); // empty store: the next sample gets time 0
    ASSERT_EQ(lang.count(), 1);
    EXPECT_EQ(lang.at(0).at(0).toString(), QStringLiteral("1"));
    EXPECT_EQ(page.at(0).at(0).toString(), QStringLiteral("-1"));
    ASSERT_EQ(pd.count(), 1);
    EXPECT_EQ(pd.at(0).at(0).toString(), QStringLiteral("1"));
    EXPECT_EQ(pd.at(0).at(1).toString(), QStringLiteral("2000000"));
    EXPECT_EQ(r.segment.rate(), 2000);
}

TEST(Reader, CaptureBytesGoToTheCaptureStore)
{
    Reader r;
    QSignalSpy log(r.reader.get(), &ThreadRead::sendSegmentLog);
    r.feed(13, QByteArray(250, char(0xFF)));
    r.feed(13, hex("0001"));
    EXPECT_EQ(r.segment.writePos.load(), 252);
    EXPECT_EQ(r.segment.sampleCount(0, false), 252 * 8);
    EXPECT_TRUE(r.segment.levelAt(0, 0, false));
    EXPECT_FALSE(r.segment.levelAt(250 * 8, 0, false));
    EXPECT_TRUE(r.segment.levelAt(251 * 8, 0, false));
    EXPECT_EQ(log.count(), 0);
    r.segment.writePos = int64_t(320) << 26; // beyond the last block
    r.feed(13, hex("0001"));
    ASSERT_EQ(log.count(), 1);
    EXPECT_EQ(log.at(0).at(0).toString(), QStringLiteral("数据超出限定值，无法继续采集！"));
    EXPECT_EQ(log.at(0).at(1).toInt(), 0);
    EXPECT_EQ(r.segment.writePos.load(), (int64_t(320) << 26) + 2); // advanced whatever the result
}

TEST(Reader, FastChargeAndMonitorReports)
{
    Reader r;
    QSignalSpy model(r.reader.get(), &ThreadRead::sendTriggerModel);
    QSignalSpy fast(r.reader.get(), &ThreadRead::sendTriggerFastPtl);
    QSignalSpy info(r.reader.get(), &ThreadRead::sendFastPtlInfo);
    QSignalSpy monitor(r.reader.get(), &ThreadRead::sendPDMonitorInfo);
    QSignalSpy cable(r.reader.get(), &ThreadRead::sendCLineInputInfo);
    QSignalSpy clear(r.reader.get(), &ThreadRead::sendClearFastPtlInfo);
    // PD triggered: 5V, 9V, 15V, 20V, PPS1 offered, PPS1 selected, adjustable 3.3-11 V at 5 V, 3 A.
    r.feed(5, hex("0001"
                  "80880401 00000000"
                  "01"
                  "8813"
                  "1400"
                  "e40c"
                  "f82a"
                  "b80b"
                  "18"));
    ASSERT_EQ(model.count(), 1);
    EXPECT_EQ(model.at(0).at(0).toString(), QStringLiteral("5V;9V;15V;20V;PPS1"));
    ASSERT_EQ(fast.count(), 1);
    const QList<QVariant> f = fast.at(0);
    EXPECT_TRUE(f[0].toBool());
    EXPECT_EQ(f[1].toString(), QStringLiteral("0"));
    EXPECT_TRUE(f[2].toBool());
    EXPECT_EQ(
        QStringList({f[3].toString(), f[4].toString(), f[5].toString(), f[6].toString(), f[7].toString()}),
        QStringList({"5000", "20", "3300", "11000", "3000"}));
    EXPECT_EQ(f[8].toString(), QStringLiteral("PPS1"));
    // AFC failed, 21-byte form: no models, no selection.
    r.feed(5, hex("0500"
                  "0000000000000000"
                  "00"
                  "0000"
                  "0000"
                  "0000"
                  "0000"
                  "0000"));
    EXPECT_EQ(model.count(), 1);
    EXPECT_FALSE(fast.at(1).at(0).toBool());
    EXPECT_TRUE(fast.at(1).at(8).toString().isEmpty());

    r.feed(6, QByteArray::fromHex("0c01") + "BC1.2 DCP" + QByteArray(1, '\0') + "junk");
    ASSERT_EQ(info.count(), 1);
    EXPECT_EQ(info.at(0).at(0).toString(), QStringLiteral("12"));
    EXPECT_TRUE(info.at(0).at(1).toBool());
    EXPECT_EQ(info.at(0).at(2).toString(), QStringLiteral("BC1.2 DCP"));

    QByteArray pd(55, '\0');
    pd.replace(0, 8, QByteArray(" PD3.0\x01 ", 8));
    pd.replace(10, 3, "65W");
    pd[54] = char(41);
    r.feed(25, pd);
    ASSERT_EQ(monitor.count(), 1);
    EXPECT_EQ(monitor.at(0).at(0).toString(), QStringLiteral("PD3.0")); // control byte dropped, trimmed
    EXPECT_EQ(monitor.at(0).at(1).toString(), QStringLiteral("65W"));
    EXPECT_EQ(monitor.at(0).at(2).toString(), QString()); // all zero: empty
    EXPECT_EQ(monitor.at(0).at(6).toString(), QStringLiteral("41"));

    r.feed(33, hex("02010000000000000000"));
    ASSERT_EQ(cable.count(), 1);
    EXPECT_EQ(cable.at(0).at(0).toString(), QStringLiteral("2"));
    EXPECT_TRUE(cable.at(0).at(1).toBool());
    r.feed(34, hex("0000"));
    EXPECT_EQ(clear.count(), 1);
}

TEST(Reader, OfflineRecords)
{
    Reader r;
    QSignalSpy info(r.reader.get(), &ThreadRead::sendOfflineRecordInfo);
    QSignalSpy deleted(r.reader.get(), &ThreadRead::sendOfflineRecordDelete);
    // 2 records; index 1, 200 ms, 60 s, 300 samples, 12.5 mAh, 62.5 mWh, 4-byte samples
    r.feed(8, hex("0201"
                  "c8000000"
                  "3c000000"
                  "2c01"
                  "00004841"
                  "00007a42"
                  "01"));
    ASSERT_EQ(info.count(), 1);
    QStringList args;
    for (const QVariant& v : info.at(0))
        args << v.toString();
    EXPECT_EQ(args, QStringList({"2", "1", "200", "60", "300", "12.5", "62.5", "1"}));
    r.feed(10, hex("0300"));
    r.feed(10, hex("0500"));
    EXPECT_EQ(deleted.at(0).at(0).toString(), QStringLiteral("3"));
    EXPECT_EQ(deleted.at(1).at(0).toString(), QStringLiteral("-1"));

    r.feed(9, hex("88130000d007")); // not in offline mode: refused with a log line
    EXPECT_EQ(r.store->count(), 0);
    EXPECT_TRUE(r.logText().contains(QStringLiteral("非离线数据模式，无法接收离线数据。")));

    const struct {
        const char* name;
        int format;
        int decimals;
        QByteArray payload;
        std::vector<float> volts;
    } cases[] = {
        // 6-byte samples: 5.005 V (cut to 5.000 with 4 decimals... of mV), top bits cleared
        {"6-byte, 4 decimals",
         0,
         4,
         hex("8d1380"
             "e80300"
             "ffffff"),
         {5.0f}},
        {"6-byte, 5 decimals",
         0,
         5,
         hex("8d1300"
             "e80300"),
         {5.005f}},
        {"4-byte, never cut",
         1,
         4,
         hex("8d93"
             "e803"
             "1027"
             "0000"
             "01"),
         {5.005f, 10.0f}},
    };
    for (const auto& c : cases) {
        Reader o(1000, c.decimals);
        o.store->setOffline(true, 500, c.format);
        o.store->setLastTime(-500);
        o.feed(9, c.payload);
        EXPECT_EQ(voltages(*o.store), c.volts) << c.name;
        if (!c.volts.empty()) {
            EXPECT_EQ(o.store->times()[0], 0) << c.name;
        }
    }
}

TEST(Reader, AlarmAnnouncements)
{
    using Step = std::pair<double, const char*>; // voltage, expected msg (nullptr: none)
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"above and back", {{4.9, nullptr}, {5.1, "Alerts V > 5"}, {5.2, nullptr}, {4.9, "Normal V = 4.9"}}},
        {"limits are inside", {{5.0, nullptr}, {0.5, nullptr}}},
        {"above straight to below", {{6.0, "Alerts V > 5"}, {0.1, "Alerts V < 0.5"}, {0.2, nullptr}}},
    };
    for (const auto& c : cases) {
        Reader r;
        r.reader->setVoltageAlarm(0.5, 5.0, true, false);
        QSignalSpy alarm(r.store.get(), &WaveformData::overallAlarm);
        int expected = 0;
        for (const auto& [volts, msg] : c.steps) {
            r.reader->alarms().evaluate(
                volts, 1.0, *r.store, [&](bool, bool, bool v, bool, const QString& m, const QString& color) {
                    emit r.store->overallAlarm(false, false, v, false, m, color);
                });
            if (msg) {
                ++expected;
                ASSERT_EQ(alarm.count(), expected) << c.name << " at " << volts;
                EXPECT_EQ(alarm.last().at(4).toString(), QString::fromLatin1(msg)) << c.name;
                EXPECT_EQ(alarm.last().at(5).toString(),
                          QString::fromLatin1(QByteArray(msg).startsWith("Normal") ? "#ffffff" : "#ff0000"));
                EXPECT_EQ(alarm.last().at(2).toBool(), !QByteArray(msg).startsWith("Normal"));
            }
        }
        EXPECT_EQ(alarm.count(), expected) << c.name;
    }
}

TEST(Reader, AlarmSwitchesAnnounceWithoutText)
{
    Reader r;
    QSignalSpy alarm(r.store.get(), &WaveformData::overallAlarm);
    r.reader->setVoltageAlarm(0, 5, true, false);
    ASSERT_EQ(alarm.count(), 1); // switched on: flags refresh, nothing to log
    EXPECT_TRUE(alarm.last().at(4).toString().isEmpty());
    r.feed(4, measurement({600000, 600000, 600000, 600000})); // 6 V
    ASSERT_EQ(alarm.count(), 2);
    EXPECT_FALSE(alarm.last().at(3).toBool()); // no sound yet
    r.reader->setVoltageAlarm(0, 5, true, true);
    ASSERT_EQ(alarm.count(), 3);
    EXPECT_TRUE(alarm.last().at(3).toBool()); // the beep starts
    EXPECT_TRUE(alarm.last().at(4).toString().isEmpty());
    r.reader->setVoltageAlarm(0, 6.5, true, true); // only a limit: no announcement
    EXPECT_EQ(alarm.count(), 3);
    r.reader->setVoltageAlarm(0, 5, false, true);
    ASSERT_EQ(alarm.count(), 4);
    EXPECT_FALSE(alarm.last().at(2).toBool());
    EXPECT_EQ(r.store->alarmState[0].load(), 0); // reset
    r.reader->setVoltageAlarm(0, 5, true, true);
    r.feed(4, measurement({600000, 600000, 600000, 600000}));
    EXPECT_EQ(alarm.last().at(4).toString(), QStringLiteral("Alerts V > 5")); // announced anew

    // The panel's object: text limits, a text that is no number is 0.
    QJsonObject json{{"powerMinVal", "abc"}, {"powerMaxVal", "50"}, {"powerAlarm", true}};
    r.reader->alarms().setAlarmData(json, r.store.get(), nullptr);
    EXPECT_EQ(r.reader->alarms().limits(AlarmMonitor::Power).min.load(), 0.0);
    EXPECT_EQ(r.reader->alarms().limits(AlarmMonitor::Power).max.load(), 50.0);
    EXPECT_TRUE(r.reader->alarms().limits(AlarmMonitor::Power).enabled.load());
    EXPECT_FALSE(r.reader->alarms().limits(AlarmMonitor::Voltage).enabled.load()); // missing flag: off
}

TEST(Reader, NonFinitePowerCountsAsZero)
{
    Reader r;
    r.reader->setPowerAlarm(1, 100, true, false);
    QSignalSpy alarm(r.store.get(), &WaveformData::overallAlarm);
    r.reader->alarms().evaluate(std::numeric_limits<double>::quiet_NaN(), 1.0, *r.store,
                                [&](bool p, bool, bool, bool, const QString& m, const QString&) {
                                    emit r.store->overallAlarm(p, false, false, false, m, QString());
                                });
    ASSERT_EQ(alarm.count(), 1);
    EXPECT_EQ(alarm.last().at(4).toString(), QStringLiteral("Alerts W < 1"));
}

TEST(OfflineRecordModel, RolesAndRemoval)
{
    OfflineRecordModel model;
    QSignalSpy count(&model, &OfflineRecordModel::dataCountChanged);
    model.appendData(2, 0, 200, 3725, 300, 999.0f, 1500.0f, 1);
    model.appendData(2, 1, 2000, 59, 30, 12.5f, 62.5f, 0);
    ASSERT_EQ(model.getDataCount(), 2);
    const struct {
        int row;
        int role;
        QVariant expected;
    } cases[] = {
        {0, OfflineRecordModel::IdRole, 0},
        {0, OfflineRecordModel::NameRole, "Group1"},
        {0, OfflineRecordModel::TotalTimeRole, "01:02:05"},
        {0, OfflineRecordModel::IntervalRole, "200 ms"},
        {1, OfflineRecordModel::IntervalRole, "2 s"},
        {0, OfflineRecordModel::TotalCountRole, "300 Points"},
        {0, OfflineRecordModel::MahRole, "999.0000 mAH"},
        {0, OfflineRecordModel::MwhRole, "1.5000 WH"},
        {1, OfflineRecordModel::TotalTimeRole, "00:00:59"},
        {5, OfflineRecordModel::NameRole, ""}, // outside the list
    };
    for (const auto& c : cases)
        EXPECT_EQ(model.data(model.index(c.row, 0), c.role).toString(), c.expected.toString())
            << c.row << " " << c.role;
    EXPECT_EQ(model.roleNames().value(OfflineRecordModel::MwhNumRole), QByteArray("mwhNum"));
    model.remove(7); // no such record
    EXPECT_EQ(count.count(), 2);
    model.remove(0);
    EXPECT_EQ(model.getDataCount(), 1);
    EXPECT_EQ(model.data(model.index(0, 0), OfflineRecordModel::IdRole).toInt(), 1);
    model.appendData(0, 0, 0, 0, 0, 0, 0, 0); // "no records" empties the list
    EXPECT_EQ(model.getDataCount(), 0);
}

// The whole road with the emulated meter: USB, frames, reader, store; also
// with every burst of the meter cut inside a frame across two transfers.
TEST(Reader, LiveStreamFromTheEmulatedMeter)
{
    for (bool split : {false, true}) {
        SCOPED_TRACE(split ? "frames cut across transfers" : "whole frames");
        usb::VirtualUsbBus bus;
        auto meter = std::make_shared<emulator::MeterEmulator>();
        meter->setSplitFrames(split);
        const int id = bus.plug(meter);
        usb::USBDeviceSlot slot(bus);
        ASSERT_NE(slot.connectFreeDevice({}), -1);
        usb::USBControl* device = slot.device();
        Reader r(1000);
        QMetaObject::invokeMethod(r.reader.get(), "readLoop", Qt::QueuedConnection,
                                  Q_ARG(kvq::usb::USBControl*, device), Q_ARG(int, 8));
        ASSERT_TRUE(device->setUploadRate(6));
        ASSERT_TRUE(device->setUpload(true));
        r.reader->setUploadFlag(true);
        QElapsedTimer waited;
        waited.start();
        const auto stored = [&] {
            std::shared_lock<std::shared_mutex> lock(r.store->lock());
            return r.store->count();
        };
        while (stored() <= 500 && waited.elapsed() < 20000) // sanitizer builds run slower
            QThread::msleep(20);
        qint64 count = 0;
        {
            std::shared_lock<std::shared_mutex> lock(r.store->lock());
            count = r.store->count();
            ASSERT_GT(count, 500);
            for (qint64 i = 0; i < count; ++i)
                ASSERT_EQ(r.store->times()[i], i); // one sample per millisecond, no gap, no repeat
            EXPECT_NEAR(r.store->values(Voltage)[count - 1], 4.9, 0.3);
        }
        bus.unplug(id); // the loop ends on its own
        // Busy ends only after the loop has let go of the store and the device.
        ASSERT_TRUE(kvqtest::waitUntil([&] { return !r.reader->isBusy(); }, 5000));
        EXPECT_EQ(device->busy.load(), 0);
        EXPECT_FALSE(r.store->isInUse());
    }
}
