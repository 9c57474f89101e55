#include "app/appcontext.h"
#include "app/core.h"
#include "app/sessioncontroller.h"
#include "decode/decodecontroller.h"
#include "decode/runtime.h"
#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/simulation.h"
#include "filejob.h"
#include "files/threadwork.h"
#include "protocol/threadread.h"
#include "testsupport.h"
#include "waveform/acquisition.h"
#include "waveform/segment.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMediaPlayer>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <shared_mutex>

using namespace kvq;
using namespace kvq::waveform;

namespace {

// The pieces start-up puts into the application context, around one
// emulated meter on a virtual bus.
struct Session {
    QTemporaryDir tmp;
    kvq::Core core;
    usb::USBDeviceSlot& slot;
    Segment& segment;
    decode::DecodeController& decoder;
    emulator::MeterSimulation* meter;
    std::unique_ptr<SessionController> controller;

    static kvq::Core::Options options(const QString& dir, emulator::MeterConfig config)
    {
        kvq::Core::Options o;
        o.simulate = true;
        o.cacheDir = dir + "/cache";
        o.meter = config;
        return o;
    }
    explicit Session(emulator::MeterConfig config = {})
        : core(options(tmp.path(), config)), slot(core.slot()), segment(core.segment()),
          decoder(core.decoder()), meter(core.simulation())
    {
        acquisition().uploadRate = 1000;
        acquisition().decimals = 4;
        controller = core.makeSession();
        controller->setAutoSavePath(tmp.path() + "/auto");
    }
    ~Session() { controller.reset(); }
    bool connect() { return slot.connectFreeDevice({}) != -1; }
    template <typename F> bool waitFor(F done, int ms = 10000) { return kvqtest::waitUntil(done, ms); }
};

} // namespace

TEST(Session, FiveSecondsAtOneThousandPerSecondEndToEnd)
{
    for (int type : {0, 1}) {
        emulator::MeterConfig config;
        config.sampleLimit = 5000;
        Session s(config);
        s.controller->setAutoSaveType(type);
        ASSERT_TRUE(s.connect());
        QSignalSpy sps(s.controller.get(), &SessionController::sendWaveformDataSPS);
        s.controller->initDevice(4, 0, false);
        ASSERT_TRUE(s.waitFor([&] { return sps.count() > 0; })); // the meter's rate echo
        EXPECT_EQ(sps.last().at(0).toString(), QStringLiteral("1000"));
        ASSERT_TRUE(s.controller->startWaveFormDataUp(1));
        EXPECT_TRUE(s.controller->isRunning());
        WaveformData* store = s.controller->store();
        ASSERT_TRUE(s.waitFor([&] {
            std::shared_lock<std::shared_mutex> lock(store->lock());
            return store->count() >= 5000;
        }));
        s.waitFor([] { return false; }, 300); // nothing more arrives
        ASSERT_TRUE(s.controller->startWaveFormDataUp(0));
        s.controller->setAutoSave(false); // closes the recording
        const QString file = store->csvPath;
        std::shared_lock<std::shared_mutex> lock(store->lock());
        ASSERT_EQ(store->count(), 5000);
        for (qint64 i = 0; i < 5000; ++i)
            ASSERT_EQ(store->times()[i], i);

        QString recording = file;
        if (type == 1) {
            const QStringList found = QDir(s.tmp.path() + "/auto").entryList({"*.sqlite3"}, QDir::Files);
            ASSERT_EQ(found.size(), 1);
            recording = s.tmp.path() + "/auto/" + found.first();
        }
        ASSERT_FALSE(recording.isEmpty());
        ThreadWork reader;
        WaveformData loaded;
        EXPECT_EQ(kvqtest::runFileJob(reader, false, recording, &loaded, qint8(type)).state, 1);
        ASSERT_EQ(loaded.count(), 5000) << type;
        for (qint64 i = 0; i < 5000; ++i) {
            ASSERT_EQ(loaded.times()[i], i);
            for (int c = 0; c < ChannelCount; ++c) {
                const float want = store->values(c)[i], got = loaded.values(c)[i];
                if (type == 1)
                    ASSERT_EQ(got, want) << "channel " << c << " row " << i;
                else
                    ASSERT_NEAR(got, want, 1e-5 * std::fabs(want) + 1e-12) << "channel " << c << " row " << i;
            }
        }
    }
}

TEST(Session, CommandsWithoutADeviceAreRefused)
{
    Session s;
    EXPECT_FALSE(s.controller->startWaveFormDataUp(1));
    EXPECT_FALSE(s.controller->startWaveFormDataUp(0));
    EXPECT_FALSE(s.controller->getOfflineRecordInfo());
    EXPECT_FALSE(s.controller->startProtocolParsing(1));
    const QJsonObject info = s.controller->getBasicInfo();
    EXPECT_EQ(info.value("voltage").toString(), QStringLiteral("0.0000"));
    EXPECT_EQ(info.value("pdProtocol").toString(), QString());
}

TEST(Session, StylesRatesAndFiles)
{
    Session s;
    ASSERT_TRUE(s.connect());
    s.controller->initDevice(4, 0, false);
    QVariantList nine;
    for (int i = 0; i < 9; ++i)
        nine << "#112233";
    s.controller->setWaveformColor(nine); // not ten: ignored
    EXPECT_EQ(s.controller->store()->styles()[0].colour, QColor(0, 0, 0));
    nine << "#445566";
    s.controller->setWaveformColor(nine);
    EXPECT_EQ(s.controller->store()->styles()[9].colour, QColor("#445566"));

    QSignalSpy sps(s.controller.get(), &SessionController::sendWaveformDataSPS);
    s.controller->getSetUploadSPS(7); // sent, but no rate of this program's
    s.controller->getSetUploadSPS(4);
    ASSERT_GE(sps.count(), 1);
    EXPECT_EQ(sps.at(0).at(0).toString(), QStringLiteral("200"));
    EXPECT_EQ(acquisition().uploadRate.load(), 200);

    // Only a lower-case ".csv" selects CSV.
    QSignalSpy save(s.controller.get(), &SessionController::SigSaveWaveFormDataThread);
    QSignalSpy read(s.controller.get(), &SessionController::SigReadWaveFormDataThread);
    s.controller->saveWaveFormData(s.tmp.path() + "/a.csv");
    s.controller->saveWaveFormData(s.tmp.path() + "/a.CSV");
    EXPECT_EQ(save.at(0).at(2).value<qint8>(), 0);
    EXPECT_EQ(save.at(1).at(2).value<qint8>(), 1);
    save.clear(); // the recorded jobs hold the store: let go before it is retired
    WaveformData* before = s.controller->store();
    s.controller->readWaveFormData(s.tmp.path() + "/a.csv");
    EXPECT_NE(s.controller->store(), before); // a new store for the file
    EXPECT_EQ(acquisition().decimals.load(), 5);
    EXPECT_EQ(s.controller->getBasicInfo().value("voltage").toString(), QStringLiteral("0.00000"));
    EXPECT_EQ(read.count(), 1);
    acquisition().decimals = 4;
}

TEST(Session, BeepPlaysTheProgramsTone)
{
    Session s;
    QMediaPlayer* player = s.controller->findChild<QMediaPlayer*>();
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->media().request().url(), QUrl("qrc:/resource/static/beep.mp3"));
    // The tone decodes through GStreamer (or the service is missing and the system beep stands in).
    s.waitFor([&] { return player->mediaStatus() == QMediaPlayer::LoadedMedia || !player->isAvailable(); },
              5000);
    if (player->isAvailable()) {
        EXPECT_EQ(player->mediaStatus(), QMediaPlayer::LoadedMedia) << player->errorString().toStdString();
        EXPECT_TRUE(s.controller->hasBeepSound());
    }
    s.controller->beep(); // either way, never a crash
    s.controller->beep();
}

// The emulated meter drives the whole path at each upload rate.
TEST(Session, EachUploadRateReachesTheStore)
{
    const struct {
        qint8 code;
        int rate;
    } cases[] = {{2, 20}, {4, 200}, {5, 500}, {6, 1000}};
    for (const auto& c : cases) {
        Session s;
        ASSERT_TRUE(s.connect());
        s.controller->setAutoSave(false);
        s.controller->initDevice(4, 0, false);
        QSignalSpy sps(s.controller.get(), &SessionController::sendWaveformDataSPS);
        s.controller->getSetUploadSPS(c.code);
        ASSERT_TRUE(s.controller->startWaveFormDataUp(1));
        WaveformData* store = s.controller->store();
        s.waitFor([] { return false; }, 1500);
        s.controller->startWaveFormDataUp(0);
        std::shared_lock<std::shared_mutex> lock(store->lock());
        const double expected = 1.5 * c.rate;
        EXPECT_GT(store->count(), expected * 0.6) << c.rate;
        EXPECT_LT(store->count(), expected * 1.4) << c.rate;
        ASSERT_GT(store->count(), 2);
        EXPECT_EQ(store->times()[0], 0) << c.rate;
        EXPECT_EQ(store->times()[1], 1000 / c.rate) << c.rate;
        EXPECT_EQ(store->rate(), c.rate);
    }
}

TEST(Session, StopConditionAlarmsFastChargeAndOfflineRecords)
{
    Session s;
    ASSERT_TRUE(s.connect());
    s.controller->setAutoSave(false);
    s.controller->initDevice(4, 0, false);
    QSignalSpy stop(s.controller.get(), &SessionController::sendWaveformDataStop);
    QSignalSpy alarm(s.controller.get(), &SessionController::overallAlarm);
    // Voltage below 100 V for 1 s: met at once, fires one second later.
    s.controller->setStopTrig(3, 100.0, 1);
    s.controller->setAlarmData(
        QJsonObject{{"voltageMinVal", "0"}, {"voltageMaxVal", "1"}, {"voltageAlarm", true}});
    ASSERT_TRUE(s.controller->startWaveFormDataUp(1));
    ASSERT_TRUE(s.waitFor([&] { return stop.count() > 0; }, 5000));
    s.controller->startWaveFormDataUp(0);
    s.controller->setStopTrig(0, 0, 0);
    QStringList messages;
    for (const auto& a : alarm)
        if (!a.at(4).toString().isEmpty())
            messages << a.at(4).toString();
    EXPECT_EQ(messages, QStringList{"Alerts V > 1"}); // once, however many samples followed

    QSignalSpy fast(s.controller.get(), &SessionController::sendTriggerFastPtl);
    s.controller->triggerProtocol(0, QStringLiteral("PPS1"), 5000, 1);
    ASSERT_TRUE(s.waitFor([&] { return fast.count() > 0; }, 3000));
    EXPECT_TRUE(fast.last().at(0).toBool());
    EXPECT_EQ(fast.last().at(8).toString(), QStringLiteral("PPS1"));

    QSignalSpy clear(s.controller.get(), &SessionController::sendClearFastPtlInfo);
    QSignalSpy lines(s.controller.get(), &SessionController::sendFastPtlInfo);
    s.controller->autoProtocol();
    ASSERT_TRUE(s.waitFor([&] { return lines.count() == 16; }, 5000));
    EXPECT_EQ(clear.count(), 1);

    QSignalSpy records(s.controller.get(), &SessionController::sendOfflineRecordInfo);
    ASSERT_TRUE(s.controller->getOfflineRecordInfo());
    ASSERT_TRUE(s.waitFor([&] { return records.count() == 2; }, 3000));
    const QList<QVariant> r = records.at(1); // index 1: 300 samples every 200 ms, 4-byte format
    s.controller->getOfflineRecordData(uchar(r.at(1).toInt()), r.at(5).toDouble(), r.at(6).toDouble(),
                                       ushort(r.at(4).toUInt()), r.at(2).toUInt(), uchar(r.at(7).toUInt()));
    WaveformData* store = s.controller->store();
    ASSERT_TRUE(s.waitFor([&] {
        std::shared_lock<std::shared_mutex> lock(store->lock());
        return store->count() == 300;
    }));
    std::shared_lock<std::shared_mutex> lock(store->lock());
    EXPECT_TRUE(store->isOffline());
    for (qint64 i = 0; i < 300; ++i) // only the record's samples, on its own clock
        ASSERT_EQ(store->times()[i], i * 200);
    EXPECT_EQ(store->channelCount(DPlus), 0);
}

TEST(Session, FileLoadThenStartBeginsAFreshStoreAndSaveCopiesTheRecording)
{
    Session s;
    ASSERT_TRUE(s.connect());
    s.controller->initDevice(4, 0, false);
    ASSERT_TRUE(s.controller->startWaveFormDataUp(1));
    ASSERT_TRUE(s.waitFor([&] {
        std::shared_lock<std::shared_mutex> lock(s.controller->store()->lock());
        return s.controller->store()->count() > 300;
    }));
    ASSERT_TRUE(s.controller->isRunning());
    EXPECT_FALSE(s.controller->saveWaveFormData(s.tmp.path() + "/running.csv")); // refused while running
    EXPECT_FALSE(QFileInfo::exists(s.tmp.path() + "/running.csv"));
    ASSERT_TRUE(s.controller->startWaveFormDataUp(0));
    // An automatic CSV recording exists: saving as CSV copies it instead of writing again.
    QSignalSpy job(s.controller.get(), &SessionController::SigSaveWaveFormDataThread);
    ASSERT_TRUE(s.controller->saveWaveFormData(s.tmp.path() + "/copy.csv"));
    EXPECT_EQ(job.count(), 0);
    EXPECT_EQ(kvqtest::readAll(s.tmp.path() + "/copy.csv"), kvqtest::readAll(s.controller->store()->csvPath));
    // Saved as SQLite it is written from the store, as a database the program opens again.
    QSignalSpy ended(s.controller.get(), &SessionController::sendThreadProgressType);
    ASSERT_TRUE(s.controller->saveWaveFormData(s.tmp.path() + "/copy.sqlite3"));
    EXPECT_EQ(job.count(), 1);
    job.clear(); // the recorded job holds the store
    ASSERT_TRUE(s.waitFor([&] { return !ended.isEmpty() && ended.last().at(0).toInt() == -1; }));
    EXPECT_TRUE(kvqtest::readAll(s.tmp.path() + "/copy.sqlite3").startsWith("SQLite format 3"));
    {
        WaveformData fromDb;
        ThreadWork worker;
        kvqtest::runFileJob(worker, false, s.tmp.path() + "/copy.sqlite3", &fromDb, 1);
        std::shared_lock<std::shared_mutex> lock(s.controller->store()->lock());
        EXPECT_EQ(fromDb.count(), s.controller->store()->count());
    }

    s.controller->readWaveFormData(s.tmp.path() + "/copy.csv");
    ASSERT_TRUE(s.waitFor([&] {
        std::shared_lock<std::shared_mutex> lock(s.controller->store()->lock());
        return s.controller->store()->count() > 0;
    }));
    s.waitFor([] { return false; }, 300);
    WaveformData* loaded = s.controller->store();
    ASSERT_TRUE(s.controller->startWaveFormDataUp(1));
    EXPECT_NE(s.controller->store(), loaded); // a new, empty store, though the meter stayed attached
    s.controller->startWaveFormDataUp(0);
    acquisition().decimals = 4;
}

// Files opened one after the other, faster than the worker loads them: each
// store is retired while its job waits or runs, and none is freed under it.
TEST(Session, StoresRetiredDuringFileLoadsAreNotFreedUnderTheWorker)
{
    Session s;
    const QString big = s.tmp.path() + "/big.csv", small = s.tmp.path() + "/small.csv";
    {
        WaveformData store;
        store.setRate(1000);
        store.setLastTime(-1);
        for (int i = 0; i < 200000; ++i)
            store.appendSample(5.0f, 1.0f, 0, 0, 0, 0);
        ThreadWork worker;
        kvqtest::runFileJob(worker, true, big, &store, 0);
        WaveformData few;
        few.setRate(1000);
        few.setLastTime(-1);
        for (int i = 0; i < 321; ++i)
            few.appendSample(9.0f, 2.0f, 0, 0, 0, 0);
        kvqtest::runFileJob(worker, true, small, &few, 0);
    }
    QSignalSpy ends(s.controller.get(), &SessionController::sendThreadProgressType);
    ASSERT_TRUE(s.controller->readWaveFormData(big));
    ASSERT_TRUE(s.controller->readWaveFormData(big));   // retires the store the first load fills
    ASSERT_TRUE(s.controller->readWaveFormData(small)); // retires one whose job may not have started
    ASSERT_TRUE(s.waitFor([&] {
        int done = 0;
        for (const auto& e : ends)
            done += e.at(0).toInt() == -1;
        return done == 3;
    }));
    std::shared_lock<std::shared_mutex> lock(s.controller->store()->lock());
    EXPECT_EQ(s.controller->store()->count(), 321);
}

TEST(Session, UnplugDuringARecordingKeepsTheFile)
{
    Session s;
    ASSERT_TRUE(s.connect());
    s.controller->initDevice(4, 0, false);
    ASSERT_TRUE(s.controller->startWaveFormDataUp(1));
    WaveformData* store = s.controller->store();
    ASSERT_TRUE(s.waitFor([&] {
        std::shared_lock<std::shared_mutex> lock(store->lock());
        return store->count() > 1200;
    }));
    s.meter->unplug();
    ASSERT_TRUE(s.waitFor([&] { return !s.controller->reader()->isBusy(); }, 5000));
    s.controller->removeDevice();
    s.waitFor([] { return false; }, 700); // the next flush
    const QString file = store->csvPath;
    qint64 stored = 0;
    {
        std::shared_lock<std::shared_mutex> lock(store->lock());
        stored = store->count();
    }
    ASSERT_GT(stored, 1000);
    store->flushAutoSave();
    ThreadWork worker;
    WaveformData reloaded;
    EXPECT_EQ(kvqtest::runFileJob(worker, false, file, &reloaded, 0).state, 1);
    EXPECT_EQ(reloaded.count(), stored);
}

// A PD capture from the emulated meter: the UI's part (setRate on the
// analysis state) is played by the test. Saved and opened again, the capture
// gives the same messages with the same bus values.
namespace {
bool decoderRuntime()
{
    static const bool ready = decode::startDecoderRuntime(QStringLiteral(KVQ_OUTPUT_DIR)) == 0;
    return ready;
}

std::vector<decode::PdMessage> takeMessages(decode::DecodeController& decoder)
{
    std::lock_guard<std::mutex> lock(decoder.listLock());
    std::vector<decode::PdMessage> list(decoder.messages().begin(), decoder.messages().end());
    decoder.messages().clear(); // as the page's table does before opening a file
    return list;
}
} // namespace

TEST(Session, PdCaptureSavedAndOpenedAgain)
{
    ASSERT_TRUE(decoderRuntime());
    Session s;
    ASSERT_TRUE(s.connect());
    s.slot.device()->supPtl = true; // the handshake reads it from the meter's information
    s.controller->initDevice(4, 1, false);
    QObject::connect(s.controller.get(), &SessionController::sendPtlAnalysisState, s.controller.get(),
                     [&](QString state, QString rate) {
                         if (state == "1")
                             s.controller->setRate(rate.toUInt());
                     });
    ASSERT_TRUE(s.controller->startWaveFormDataUp(1)); // bus values for the messages
    ASSERT_TRUE(s.controller->startProtocolParsing(1));
    const auto count = [&] {
        std::lock_guard<std::mutex> lock(s.decoder.listLock());
        return s.decoder.messages().size();
    };
    // Two negotiation bursts, a second apart.
    ASSERT_TRUE(s.waitFor([&] { return count() >= 32; }, 20000)) << count();
    ASSERT_TRUE(s.controller->startProtocolParsing(0));
    EXPECT_EQ(s.decoder.runState(), decode::DecodeController::Idle);
    ASSERT_TRUE(s.controller->startWaveFormDataUp(0));
    std::vector<decode::PdMessage> live;
    {
        std::lock_guard<std::mutex> lock(s.decoder.listLock());
        live.assign(s.decoder.messages().begin(), s.decoder.messages().end());
    }
    EXPECT_EQ(live[0].name, "Source_Capabilities");
    EXPECT_NE(live[0].vbus, decode::PdMessage::kUnset);
    EXPECT_GT(live[0].vbus, 4.0f);

    const QString file = s.tmp.path() + "/capture.kvqcc";
    QSignalSpy logs(s.controller.get(), &SessionController::sendSegmentLog);
    ASSERT_TRUE(s.controller->saveProtocolData(QUrl::fromLocalFile(file).toString()));
    takeMessages(s.decoder);
    ASSERT_TRUE(s.controller->readProtocolData(file));
    EXPECT_EQ(logs.last().at(0).toString(), QStringLiteral("加载协议文件：") + file);
    EXPECT_EQ(s.segment.rate(), 2000);
    ASSERT_TRUE(s.waitFor([&] { return count() >= live.size(); }, 20000));
    s.decoder.stopDecode();
    s.decoder.waitDecodeStopped();
    std::lock_guard<std::mutex> lock(s.decoder.listLock());
    const auto& reopened = s.decoder.messages();
    for (size_t i = 0; i < live.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reopened[i].startSample, live[i].startSample);
        EXPECT_EQ(reopened[i].name, live[i].name);
        EXPECT_EQ(reopened[i].raw, live[i].raw);
        // The file keeps bus values to the millivolt and milliampere.
        EXPECT_NEAR(reopened[i].vbus, live[i].vbus, 0.0005 + 1e-6);
        EXPECT_NEAR(reopened[i].ibus, live[i].ibus, 0.0005 + 1e-6);
    }
}

// A logic analyser's capture opens like a protocol file and is saved as one.
TEST(Session, SigrokSessionOpensAsACaptureAndSavesAsAProtocolFile)
{
    ASSERT_TRUE(decoderRuntime());
    Session s;
    QSignalSpy logs(s.controller.get(), &SessionController::sendSegmentLog);
    EXPECT_FALSE(s.controller->readSigrokSession(s.tmp.path() + "/none.sr", QString()));
    EXPECT_EQ(logs.last().at(1).toInt(), 0);
    const QString sr =
        QStringLiteral(KVQ_SOURCE_DIR "/tests/decode/data/captures/thinkpad_yoga_370-aukey_45w.sr");
    const auto count = [&] {
        std::lock_guard<std::mutex> lock(s.decoder.listLock());
        return s.decoder.messages().size();
    };
    ASSERT_TRUE(s.controller->readSigrokSession(QUrl::fromLocalFile(sr).toString(), QString()));
    EXPECT_EQ(s.segment.rate(), 4000);
    ASSERT_TRUE(s.waitFor([&] { return count() >= 8; }));
    s.decoder.stopDecode();
    s.decoder.waitDecodeStopped();
    const QString file = s.tmp.path() + "/thinkpad.kvqcc";
    ASSERT_TRUE(s.controller->saveProtocolData(file));
    const std::vector<decode::PdMessage> first = takeMessages(s.decoder);
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(first[0].name, "Source_Capabilities");
    ASSERT_TRUE(s.controller->readProtocolData(file));
    ASSERT_TRUE(s.waitFor([&] { return count() >= 8; }));
    s.decoder.stopDecode();
    s.decoder.waitDecodeStopped();
    const std::vector<decode::PdMessage> again = takeMessages(s.decoder);
    ASSERT_EQ(again.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(again[i].startSample, first[i].startSample);
        EXPECT_EQ(again[i].time, first[i].time);
        EXPECT_EQ(again[i].raw, first[i].raw);
        EXPECT_EQ(again[i].note, first[i].note);
        EXPECT_EQ(again[i].vbus, decode::PdMessage::kUnset);
    }
}
