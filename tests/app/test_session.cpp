#include "app/appcontext.h"
#include "app/sessioncontroller.h"
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
    usb::VirtualUsbBus bus;
    std::unique_ptr<emulator::MeterSimulation> meter;
    usb::USBDeviceSlot slot{bus};
    Segment segment;
    std::unique_ptr<SessionController> controller;

    explicit Session(emulator::MeterConfig config = {})
    {
        meter = std::make_unique<emulator::MeterSimulation>(bus, config);
        segment.setMemoryDir(tmp.path());
        AppContext* context = AppContext::instance();
        context->deviceSlot = &slot;
        context->segment = &segment;
        context->waveformData = new WaveformData(0);
        acquisition().uploadRate = 1000;
        acquisition().decimals = 4;
        controller = std::make_unique<SessionController>();
        controller->setAutoSavePath(tmp.path() + "/auto");
    }
    ~Session()
    {
        controller.reset();
        slot.clear();
        AppContext* context = AppContext::instance();
        context->deviceSlot = nullptr;
        context->segment = nullptr;
        context->waveformData = nullptr;
    }
    bool connect() { return slot.connectFreeDevice({}) != -1; }
    template <typename F> bool waitFor(F done, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }
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
    s.waitFor([&] { return player->mediaStatus() == QMediaPlayer::LoadedMedia || !player->isAvailable(); }, 5000);
    if (player->isAvailable()) {
        EXPECT_EQ(player->mediaStatus(), QMediaPlayer::LoadedMedia) << player->errorString().toStdString();
        EXPECT_TRUE(s.controller->hasBeepSound());
    }
    s.controller->beep(); // either way, never a crash
    s.controller->beep();
}
