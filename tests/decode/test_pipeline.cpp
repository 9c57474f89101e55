#include "app/base/platform/platform.h"
#include "decode/decodecontroller.h"
#include "decode/decodetablemodel.h"
#include "emulator/pdtraffic.h"
#include "files/protocolfile.h"
#include "files/sigrokfile.h"
#include "pdtestsupport.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using kvq::decode::DecodeController;
using kvq::decode::PdMessage;
using kvq::waveform::Segment;

namespace {

// Our message names against the reference decoder's spelling.
const std::map<QString, QString> kReferenceNames = {
    {QStringLiteral("GOOD CRC"), QStringLiteral("GOOD CRC")},
    {QStringLiteral("Source_Capabilities"), QStringLiteral("SOURCE CAP")},
    {QStringLiteral("Sink_Capabilities"), QStringLiteral("SINK CAP")},
    {QStringLiteral("Request"), QStringLiteral("REQUEST")},
    {QStringLiteral("Accept"), QStringLiteral("ACCEPT")},
    {QStringLiteral("PS_RDY"), QStringLiteral("PS RDY")},
    {QStringLiteral("Get_Sink_Cap"), QStringLiteral("GET SINK CAP")},
    {QStringLiteral("DR_Swap"), QStringLiteral("DR SWAP")},
    {QStringLiteral("Vendor_Defined"), QStringLiteral("VDM")},
};

struct Capture {
    const char* name;
    const char* probe;
};

void PrintTo(const Capture& c, std::ostream* os)
{
    *os << c.name << ':' << c.probe;
}

class RealCapture : public ::testing::TestWithParam<Capture> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kvqtest::ensureRuntime());
        ASSERT_TRUE(cache.isValid());
        store.setMemoryDir(cache.path());
    }
    QTemporaryDir cache;
    Segment store;
};

QString detailText(const PdMessage& m)
{
    return QString::fromUtf8(QJsonDocument(kvq::decode::DecodeTableModel::detailOf(m)).toJson());
}

TEST_P(RealCapture, SameMessagesAsTheReferenceDecoder)
{
    const Capture c = GetParam();
    const kvq::files::SigrokImport imported = kvq::files::importSigrokSession(
        kvqtest::captureDir() + QLatin1Char('/') + c.name + QStringLiteral(".sr"), QString(), store);
    ASSERT_TRUE(imported.ok) << imported.error.toStdString();
    EXPECT_EQ(imported.probe, QString::fromLatin1(c.probe)); // the line with traffic is found

    DecodeController controller;
    const std::vector<PdMessage> ours = kvqtest::decodeAll(controller, store);
    const std::vector<kvqtest::RefMessage> ref = kvqtest::readReference(
        kvqtest::referenceFile(QString::fromLatin1(c.name), QString::fromLatin1(c.probe)));
    ASSERT_FALSE(ref.empty());
    ASSERT_EQ(ours.size(), ref.size());
    const double bit = double(imported.rateHz) / 300000.0;
    for (size_t i = 0; i < ref.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LE(std::abs(double(ours[i].startSample - ref[i].start)), bit);
        EXPECT_EQ(ours[i].sop, ref[i].sop);
        EXPECT_EQ(ours[i].role, ref[i].role);
        EXPECT_EQ(ours[i].messageId, ref[i].id);
        ASSERT_TRUE(kReferenceNames.count(ours[i].name)) << ours[i].name.toStdString();
        EXPECT_EQ(kReferenceNames.at(ours[i].name), ref[i].name);
        EXPECT_FALSE(ours[i].note.contains(QLatin1String("CRC error"))) << ours[i].note.toStdString();
        EXPECT_EQ(ours[i].time, qint64(double(ours[i].startSample) * 1000.0 / double(imported.rateHz)));
        // Header fields agree with the message annotation.
        EXPECT_EQ(ours[i].headerMessageId, ours[i].messageId);
        EXPECT_EQ(ours[i].specRevision + 1, ours[i].revision);
        EXPECT_EQ(ours[i].numObjects, ours[i].items.size());
        EXPECT_EQ(ours[i].raw.size(), ((4 + 8 * ours[i].items.size() + 8) * 3) / 2 - 1);

        const QString detail = detailText(ours[i]);
        if (ours[i].name == QLatin1String("Source_Capabilities")) {
            for (const auto& item : ours[i].items) {
                const auto fields = kvq::decode::DecodeTableModel::parseDetail(item.detailText);
                ASSERT_FALSE(fields.empty());
                EXPECT_EQ(fields[0].first, QStringLiteral("Type"));
            }
            EXPECT_TRUE(detail.contains(QLatin1String("\"Voltage\""))) << detail.toStdString();
            EXPECT_TRUE(detail.contains(QLatin1String(" V\""))) << detail.toStdString();
            EXPECT_TRUE(detail.contains(QLatin1String("\"Maximum current\""))) << detail.toStdString();
            EXPECT_TRUE(detail.contains(QLatin1String(" A\""))) << detail.toStdString();
        }
        if (ours[i].name == QLatin1String("Request")) {
            EXPECT_TRUE(detail.contains(QLatin1String("\"Object position\""))) << detail.toStdString();
            EXPECT_TRUE(detail.contains(QLatin1String("\"Operating current\""))) << detail.toStdString();
            EXPECT_TRUE(detail.contains(QLatin1String(" A\""))) << detail.toStdString();
            EXPECT_TRUE(detail.contains(QLatin1String("\"Requested PDO\""))) << detail.toStdString();
        }
    }
}

// Saved as a protocol file and opened again, a capture decodes to the same
// messages, and the messages take the saved bus values from their change points.
TEST_P(RealCapture, ProtocolFileRoundTrip)
{
    const Capture c = GetParam();
    ASSERT_TRUE(kvq::files::importSigrokSession(kvqtest::captureDir() + QLatin1Char('/') + c.name +
                                                    QStringLiteral(".sr"),
                                                QString::fromLatin1(c.probe), store)
                    .ok);
    DecodeController controller;
    std::vector<PdMessage> first = kvqtest::decodeAll(controller, store);
    ASSERT_GE(first.size(), 6u);
    // Bus values as a capture would have them: VBUS changes twice.
    std::vector<kvq::decode::MessageBus> bus;
    for (size_t i = 0; i < first.size(); ++i) {
        const float v = i < 2 ? 5.0f : i < 5 ? 9.0f : 15.0f;
        bus.push_back({first[i].startSample, v, 0.5f});
    }
    const QString file = cache.path() + QStringLiteral("/capture.kvqcc");
    const kvq::files::ProtocolFileResult saved = kvq::files::saveProtocolFile(store, bus, file, cache.path());
    ASSERT_TRUE(saved.ok) << saved.message.toStdString();
    EXPECT_EQ(saved.message, QStringLiteral("保存协议文件：") + file);

    Segment reopened;
    reopened.setMemoryDir(cache.path() + QStringLiteral("/second"));
    std::vector<kvq::decode::BusSample> points;
    const kvq::files::ProtocolFileResult read =
        kvq::files::readProtocolFile(reopened, file, cache.path(), &points);
    ASSERT_TRUE(read.ok) << read.message.toStdString();
    EXPECT_TRUE(read.warnings.isEmpty());
    EXPECT_EQ(points.size(), 3u);
    EXPECT_EQ(reopened.rate(), store.rate());
    ASSERT_EQ(reopened.sampleCount(0, false), store.sampleCount(0, false));
    for (qint64 s = 0; s < store.sampleCount(0, false); s += 997)
        ASSERT_EQ(reopened.levelAt(s, 0, false), store.levelAt(s, 0, false)) << s;

    DecodeController again;
    again.setBusList(&points);
    const std::vector<PdMessage> second = kvqtest::decodeAll(again, reopened);
    ASSERT_EQ(second.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(second[i].startSample, first[i].startSample);
        EXPECT_EQ(second[i].name, first[i].name);
        EXPECT_EQ(second[i].raw, first[i].raw);
        EXPECT_EQ(second[i].vbus, bus[i].vbus);
        EXPECT_EQ(second[i].ibus, 0.5f);
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, RealCapture,
                         ::testing::Values(Capture{"apple_power_brick", "CC1"},
                                           Capture{"power_supply_20V", "CC1"},
                                           Capture{"thinkpad_yoga_370-aukey_45w", "CC2"},
                                           Capture{"zy12pds_sink_module-65w_noname_supply", "CC1"}),
                         [](const ::testing::TestParamInfo<Capture>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

// The emulated meter's line decodes to the negotiation it was made of.
TEST(EmulatedLine, NegotiationBurstsDecode)
{
    ASSERT_TRUE(kvqtest::ensureRuntime());
    QTemporaryDir cache;
    Segment store;
    store.setMemoryDir(cache.path());
    store.setRate(2000);
    kvq::emulator::PdTrafficConfig config;
    config.hardResetEvery = 2;
    kvq::emulator::PdTraffic line(config);
    std::vector<std::uint8_t> bytes(3 * 2000000 / 8);
    // In report-sized pieces, as the meter sends them.
    for (size_t at = 0; at < bytes.size(); at += 250)
        line.fill(bytes.data() + at, 250);
    ASSERT_EQ(store.writeBytes(0, 0, bytes.data(), qint64(bytes.size()), true), Segment::WriteOk);
    EXPECT_EQ(line.burstsStarted(), 3u);

    DecodeController controller;
    const std::vector<PdMessage> messages = kvqtest::decodeAll(controller, store);
    const QStringList burst = {"Source_Capabilities",
                               "GOOD CRC",
                               "Request",
                               "GOOD CRC",
                               "Accept",
                               "GOOD CRC",
                               "PS_RDY",
                               "GOOD CRC",
                               "Get_Sink_Cap",
                               "GOOD CRC",
                               "Sink_Capabilities",
                               "GOOD CRC",
                               "Vendor_Defined",
                               "GOOD CRC",
                               "Vendor_Defined",
                               "GOOD CRC"};
    QStringList expected = burst + burst + QStringList{"Hard Reset"} + burst;
    QStringList names;
    for (const PdMessage& m : messages)
        names << m.name;
    ASSERT_EQ(names, expected);
    for (const PdMessage& m : messages)
        EXPECT_FALSE(m.note.contains(QLatin1String("CRC error"))) << m.note.toStdString();
    EXPECT_EQ(messages[0].role, QStringLiteral("SRC"));
    EXPECT_EQ(messages[1].role, QStringLiteral("SNK"));
    EXPECT_EQ(messages[0].startSample, 400000); // 0.2 s at 2 MHz
    EXPECT_EQ(messages[16].startSample, 400000 + 2000000);
    EXPECT_TRUE(messages[0].note.contains(QLatin1String("PPS 3.3V-21V 3A")))
        << messages[0].note.toStdString();
    EXPECT_TRUE(messages[2].note.contains(QLatin1String("Request #2 3A / 3A max")))
        << messages[2].note.toStdString();
    EXPECT_TRUE(messages[12].note.contains(QLatin1String("REQ Discover Identity SVID:FF00")))
        << messages[12].note.toStdString();
    EXPECT_TRUE(messages[14].note.contains(QLatin1String("ID header VID:1209")))
        << messages[14].note.toStdString();
    // Message IDs count on per sender and start again after the Hard Reset.
    EXPECT_EQ(messages[16].messageId, 5); // after 0-4 in the first burst
    EXPECT_EQ(messages[33].messageId, 0);
    EXPECT_EQ(messages[33].role, QStringLiteral("SRC"));
}

// The annotation parser, fed as the decoder feeds it.
class Annotations : public ::testing::Test {
protected:
    void feed(qint64 start, int cls, std::initializer_list<const char*> texts)
    {
        std::vector<const char*> list(texts);
        list.push_back(nullptr);
        controller.annotation(start, cls, list.data());
    }
    std::vector<PdMessage> messages()
    {
        std::lock_guard<std::mutex> lock(controller.listLock());
        return {controller.messages().begin(), controller.messages().end()};
    }
    DecodeController controller;
};

TEST_F(Annotations, PacketsAreBuiltFromTheirAnnotations)
{
    feed(100, 1, {"Preamble", "P"});
    feed(150, 2, {"SOP", "S"});
    feed(160, 7, {"0x1", "1"});
    feed(165, 7, {"0x6", "6"});
    feed(170, 7, {"0x1", "1"});
    feed(175, 3, {"H:91a1", "H"});
    feed(100, 20, {"(r3) SRC/UFP[0]: Source_Capabilities", "Source_Capabilities"});
    feed(180, 4, {"[0]0a01912c", "0a01912c"});
    feed(180, 11,
         {"[1] Fixed 5V 3A (15W)", R"({"format":"pd_detail_v1","items":[{"key":"Voltage","value":"5 V"}]})"});
    feed(190, 11, {"second note"});
    feed(200, 5, {"CRC:406c4abf", "CRC"});
    feed(210, 6, {"EOP"});
    feed(999, 3, {"H:0041"}); // no packet open: ignored
    auto list = messages();
    ASSERT_EQ(list.size(), 1u);
    const PdMessage& m = list[0];
    EXPECT_EQ(m.sop, QStringLiteral("SOP"));
    EXPECT_EQ(m.raw, QStringLiteral("16 1"));
    EXPECT_EQ(m.headerText, QStringLiteral("91a1"));
    EXPECT_EQ(m.type, 1);
    EXPECT_EQ(m.dataRole, 1);
    EXPECT_EQ(m.specRevision, 2);
    EXPECT_EQ(m.powerRole, 1);
    EXPECT_EQ(m.headerMessageId, 0);
    EXPECT_EQ(m.numObjects, 1);
    EXPECT_EQ(m.extended, 1);
    EXPECT_EQ(m.revision, 3);
    EXPECT_EQ(m.role, QStringLiteral("SRC/UFP"));
    EXPECT_EQ(m.messageId, 0);
    EXPECT_EQ(m.name, QStringLiteral("Source_Capabilities"));
    EXPECT_EQ(m.cls, 20);
    EXPECT_EQ(m.crc, QStringLiteral("406c4abf"));
    EXPECT_EQ(m.note, QStringLiteral("[1] Fixed 5V 3A (15W)    second note"));
    ASSERT_EQ(m.items.size(), 1);
    EXPECT_EQ(m.items[0].value, QStringLiteral("0a01912c"));
    EXPECT_EQ(m.items[0].detailName, QStringLiteral("[1] Fixed 5V 3A (15W)"));
    EXPECT_TRUE(m.items[0].detailText.startsWith(QLatin1Char('{')));
    EXPECT_TRUE(m.extHeaderText.isEmpty());
    EXPECT_EQ(m.dataSize, 0);
    EXPECT_EQ(m.vbus, PdMessage::kUnset); // no measurement yet
}

TEST_F(Annotations, PreambleWithoutEopCommitsThePacketAsCutShort)
{
    {
        std::lock_guard<std::mutex> lock(controller.liveBus().lock);
        controller.liveBus().vbus = 9.0f;
        controller.liveBus().ibus = 1.5f;
    }
    feed(10, 1, {"Preamble"});
    feed(20, 12, {"Hard Reset"});
    feed(30, 1, {"Preamble"});
    feed(40, 3, {"EH:9c05"});
    feed(41, 3, {"H:zz"}); // not hexadecimal: fields stay 0
    feed(50, 6, {"EOP"});
    auto list = messages();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].note, QStringLiteral("Pack no eop"));
    EXPECT_EQ(list[0].name, QStringLiteral("Hard Reset"));
    EXPECT_EQ(list[0].cls, 0);
    EXPECT_EQ(list[0].vbus, 9.0f);
    EXPECT_EQ(list[1].extHeaderText, QStringLiteral("9c05"));
    EXPECT_EQ(list[1].dataSize, 5);
    EXPECT_EQ(list[1].requestChunk, 1);
    EXPECT_EQ(list[1].chunkNumber, 3);
    EXPECT_EQ(list[1].chunked, 1);
    EXPECT_EQ(list[1].type, 0);
}

TEST_F(Annotations, FileChangePointsApplyOnePerMessage)
{
    std::vector<kvq::decode::BusSample> points = {
        {0, 5.0f, 0.1f, false}, {25, 9.0f, 0.2f, false}, {30, 12.0f, 0.3f, false}};
    controller.setBusList(&points);
    for (qint64 s : {10, 20, 40, 50}) {
        feed(s, 1, {"Preamble"});
        feed(s + 5, 6, {"EOP"});
    }
    auto list = messages();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].vbus, 5.0f);
    EXPECT_EQ(list[1].vbus, 5.0f); // 25 not yet due
    EXPECT_EQ(list[2].vbus, 9.0f); // both 25 and 30 are due: one per message
    EXPECT_EQ(list[3].vbus, 12.0f);
}

// A 2 MHz capture store with a session ready to decode it.
class DecodeRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kvqtest::ensureRuntime());
        store.setMemoryDir(cache.path());
        store.setRate(2000);
        ASSERT_TRUE(controller.initSession());
        controller.setSampleRate(2000000);
    }
    QTemporaryDir cache;
    Segment store;
    DecodeController controller;
};

TEST_F(DecodeRun, ShortMemoryKeepsTheRunFromStarting)
{
    std::vector<std::pair<QString, int>> logs;
    QObject::connect(
        &controller, &DecodeController::sendSegmentLog, qApp,
        [&](QString msg, int state) { logs.emplace_back(msg, state); }, Qt::QueuedConnection);
    kvq::platform::setAvailableMemoryOverride(100ll << 20);
    QMetaObject::invokeMethod(
        &controller, [&] { controller.decodeSegment(&store); }, Qt::QueuedConnection);
    QElapsedTimer timer;
    timer.start();
    while (logs.empty() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    kvq::platform::setAvailableMemoryOverride(-1);
    controller.waitDecodeStopped();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].first, QStringLiteral("内存不足，请检查内存。"));
    EXPECT_EQ(logs[0].second, 0);
    EXPECT_EQ(controller.runState(), DecodeController::Idle);
}

TEST_F(DecodeRun, StopEndsALiveRunWaitingForSamples)
{
    // 8 Mi samples of idle line; the run then waits for more.
    const std::vector<std::uint8_t> bytes(1 << 20, 0);
    ASSERT_EQ(store.writeBytes(0, 0, bytes.data(), qint64(bytes.size()), true), Segment::WriteOk);
    QMetaObject::invokeMethod(
        &controller, [&] { controller.decodeSegment(&store); }, Qt::QueuedConnection);
    QElapsedTimer timer;
    timer.start();
    while (controller.runState() != DecodeController::Running && timer.elapsed() < 10000)
        QThread::msleep(1);
    ASSERT_EQ(controller.runState(), DecodeController::Running);
    controller.stopDecode();
    controller.waitDecodeStopped();
    EXPECT_EQ(controller.runState(), DecodeController::Idle);
    // A new session decodes again afterwards.
    EXPECT_TRUE(controller.initSession());
}

// A second analysis start during a live decode makes a new session: the run
// of the old one ends first instead of decoding on a destroyed session.
TEST_F(DecodeRun, NewSessionDuringALiveRunStopsTheRunFirst)
{
    const std::vector<std::uint8_t> bytes(1 << 20, 0);
    ASSERT_EQ(store.writeBytes(0, 0, bytes.data(), qint64(bytes.size()), true), Segment::WriteOk);
    QMetaObject::invokeMethod(
        &controller, [&] { controller.decodeSegment(&store); }, Qt::QueuedConnection);
    ASSERT_TRUE(kvqtest::waitUntil([&] { return controller.runState() == DecodeController::Running; }));
    ASSERT_TRUE(controller.initSession());
    EXPECT_EQ(controller.runState(), DecodeController::Idle);
    controller.setSampleRate(2000000);
    EXPECT_TRUE(controller.decodeToEnd(&store, 20000)); // the new session decodes
}

// A loaded capture whose length is no multiple of 8 is decoded to its last sample.
TEST_F(DecodeRun, LoadedCaptureIsDecodedToItsLastSample)
{
    const std::vector<std::uint8_t> bytes(1 << 17, 0);
    ASSERT_EQ(store.writeBytes(0, 0, bytes.data(), qint64(bytes.size()), false), Segment::WriteOk);
    const qint64 samples = qint64(bytes.size()) * 8 - 5;
    store.setSampleCount(samples, 0, false);
    EXPECT_TRUE(controller.decodeToEnd(&store, 20000));
    EXPECT_EQ(controller.decodedSamples(), samples);
}

} // namespace
