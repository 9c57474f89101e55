#include "app/base/logging.h"
#include "protocol/deviceinfo.h"
#include "protocol/frames.h"
#include "testsupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

using namespace kvq::protocol;

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

struct Found {
    int code;
    QByteArray payload;
    bool operator==(const Found& o) const { return code == o.code && payload == o.payload; }
};

std::vector<Found> scanAll(const QByteArray& buffer)
{
    std::vector<Found> found;
    ReportCursor cursor{reinterpret_cast<const uint8_t*>(buffer.constData()), buffer.size(), 0};
    for (ReportFrame f = nextReport(cursor); f.code != -1; f = nextReport(cursor))
        found.push_back({f.code, QByteArray(reinterpret_cast<const char*>(f.payload), f.length)});
    EXPECT_EQ(cursor.position, buffer.size());
    return found;
}

} // namespace

TEST(Frames, CommandFrameLayout)
{
    const uint8_t query[] = {0, 0};
    const QByteArray info = buildCommandFrame(CmdDeviceInfo, query, 2);
    ASSERT_EQ(info.size(), 63);
    EXPECT_EQ(info.left(7), hex("EE010200000FFF"));
    EXPECT_EQ(info.mid(7), QByteArray(56, '\0'));

    const uint8_t viewQuery[] = {0, 0, 0, 0};
    const QByteArray view = buildCommandFrame(CmdViewIndex, viewQuery, 4);
    EXPECT_EQ(view.left(9), hex("EE0204000000000CFF"));

    // A full payload leaves no zero fill: 58 + 5 = 63.
    std::vector<uint8_t> full(58, 0x11);
    const QByteArray big = buildCommandFrame(7, full.data(), 58);
    ASSERT_EQ(big.size(), 63);
    EXPECT_EQ(uint8_t(big[62]), 0xFF);
    EXPECT_EQ(checksum(reinterpret_cast<const uint8_t*>(big.constData()), 62), 0); // covered + checksum = 0
}

TEST(Frames, BootFrameLayout)
{
    const uint8_t go = 0xA0;
    const QByteArray frame = buildBootFrame(BootStartApp, 7, &go, 1);
    ASSERT_EQ(frame.size(), 6);
    EXPECT_EQ(frame.left(5), hex("AF150701A0"));
    EXPECT_EQ(checksum(reinterpret_cast<const uint8_t*>(frame.constData()), 6), 0);
}

TEST(Frames, ScannerCases)
{
    const QByteArray a = buildReportFrame(2, hex("03000000"));
    const QByteArray b = buildReportFrame(7, hex("0100"));
    QByteArray badSum = a;
    badSum[badSum.size() - 1] = char(badSum[badSum.size() - 1] + 1);
    QByteArray code48 = buildReportFrame(47, hex("01"));
    code48[1] = 48;
    code48[4] = char(checksum(reinterpret_cast<const uint8_t*>(code48.constData()), 4));
    QByteArray negative = buildReportFrame(1, hex("01"));
    negative[1] = char(0x81);
    negative[4] = char(checksum(reinterpret_cast<const uint8_t*>(negative.constData()), 4));
    // Length 252: 252 + 4 wraps to 0 in 8 bits, so such a frame never passes.
    QByteArray wrap = QByteArray(1, char(0xEE)) + char(5) + char(252) + QByteArray(252, '\0');
    wrap.append(char(checksum(reinterpret_cast<const uint8_t*>(wrap.constData()), size_t(wrap.size()))));

    const struct {
        const char* name;
        QByteArray buffer;
        std::vector<Found> expected;
    } cases[] = {
        {"back to back", a + b, {{2, hex("03000000")}, {7, hex("0100")}}},
        {"starts inside a frame", a.mid(2) + b, {{7, hex("0100")}}},
        {"garbage with markers before", hex("00EEEE01EE0501") + b, {{7, hex("0100")}}},
        {"bad checksum skipped", badSum + b, {{7, hex("0100")}}},
        {"cut by the end of the buffer", b + a.left(a.size() - 1), {{7, hex("0100")}}},
        {"highest code accepted", buildReportFrame(47, hex("01")), {{47, hex("01")}}},
        {"code 48 refused", code48, {}},
        {"negative code refused", negative, {}},
        {"length 252 never accepted", wrap + b, {{7, hex("0100")}}},
        {"largest payload", buildReportFrame(13, QByteArray(251, 'x')), {{13, QByteArray(251, 'x')}}},
        {"empty buffer", QByteArray(), {}},
        {"lone marker", hex("EE"), {}},
        {"marker and code only", hex("EE02"), {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scanAll(c.buffer), c.expected) << c.name;
}

TEST(Frames, ZeroLengthFrameIsRejectedWithALogLine)
{
    QTemporaryDir tmp;
    kvq::startLog(tmp.path());
    const QString log = kvq::currentLogFile();
    QByteArray empty = hex("EE0200");
    empty.append(char(checksum(reinterpret_cast<const uint8_t*>(empty.constData()), 3)));
    EXPECT_TRUE(scanAll(empty).empty());
    kvq::closeLog();
    EXPECT_TRUE(kvqtest::readAll(log).contains(": analysis_get_data:error\n"));
}

// The stream scanner finds every frame however the stream is cut into reads:
// all at once, one byte at a time, and at every cut into two and into three.
TEST(Frames, ScannerFindsEveryFrameInEverySplit)
{
    QByteArray stream;
    std::vector<Found> expected;
    const QByteArray garbage = hex("0001027FEE80EEFF");
    for (int i = 0; i < 6; ++i) {
        stream.append(garbage.left(i + 1));
        const QByteArray payload(1 + i * 7, char('a' + i));
        stream.append(buildReportFrame(uint8_t(2 + i), payload));
        expected.push_back({2 + i, payload});
    }
    stream.append(hex("EE03")); // a frame still on its way at the end: kept, not reported
    const auto scan = [&](const std::vector<int>& cuts) {
        ReportScanner scanner;
        std::vector<Found> found;
        int from = 0;
        std::vector<int> ends = cuts;
        ends.push_back(stream.size());
        for (int to : ends) {
            scanner.feed(
                reinterpret_cast<const uint8_t*>(stream.constData()) + from, to - from,
                [&](const ReportFrame& f) {
                    found.push_back({f.code, QByteArray(reinterpret_cast<const char*>(f.payload), f.length)});
                });
            from = to;
        }
        EXPECT_EQ(scanner.kept(), 2);
        return found;
    };
    EXPECT_EQ(scan({}), expected);
    std::vector<int> everyByte;
    for (int i = 1; i < stream.size(); ++i)
        everyByte.push_back(i);
    EXPECT_EQ(scan(everyByte), expected);
    for (int cut = 0; cut <= stream.size(); ++cut) {
        ASSERT_EQ(scan({cut}), expected) << "cut at " << cut;
        for (int second = cut; second <= stream.size(); second += 5)
            ASSERT_EQ(scan({cut, second}), expected) << "cuts at " << cut << ", " << second;
    }
}

TEST(DeviceInfo, DecodesBothFormsAndTheirRules)
{
    const auto payload = [](bool longForm, int boot, int fw1, int fw2, int type, bool isBoot, bool pd,
                            bool five) {
        const int d = longForm ? 1 : 0;
        QByteArray p(29 + d, '\0');
        p[0] = char(boot);
        p[1] = char(fw1);
        if (d)
            p[2] = char(fw2);
        p[2 + d] = char(10);
        p[4 + d] = char(type & 0xFF);
        p[5 + d] = char(type >> 8);
        const QByteArray sn("SN123456");
        p.replace(6 + d, 8, sn);
        const QByteArray model("KVQ-M");
        p.replace(14 + d, model.size(), model);
        p[26 + d] = char(isBoot ? 1 : 0);
        p[27 + d] = char(pd ? 0 : 1);
        p[28 + d] = char(five ? 1 : 0);
        return p;
    };
    const struct {
        const char* name;
        QByteArray bytes;
        const char* version;
        bool needUp;
        const char* model;
        int decimals;
        bool supPtl;
    } cases[] = {
        {"long form 1.2.3", payload(true, 12, 1, 23, 2, false, true, false), "V1.2.3", false, "KVQ-M", 4,
         true},
        {"short form 1.8", payload(false, 12, 18, 0, 2, false, true, true), "V1.8", false, "KVQ-M", 5, true},
        {"type 2 below 1.8", payload(false, 12, 17, 0, 2, false, true, false), "V1.7", true, "KVQ-M", 4,
         true},
        {"type 0x30A below 1.8", payload(false, 12, 17, 0, 0x30A, false, false, false), "V1.7", true, "KVQ-M",
         4, false},
        {"other type below 1.8", payload(false, 12, 17, 0, 3, false, true, false), "V1.7", false, "KVQ-M", 4,
         true},
        {"old but in bootloader", payload(false, 12, 17, 0, 2, true, true, false), "V1.7", false,
         "KVQ-M boot", 4, true},
    };
    for (const auto& c : cases) {
        DeviceInfo info;
        ASSERT_TRUE(
            decodeDeviceInfo(reinterpret_cast<const uint8_t*>(c.bytes.constData()), c.bytes.size(), &info));
        const QJsonObject json = deviceInfoJson(info, firmwareNeedsUpgrade(info));
        EXPECT_EQ(json.value("version").toString(), QString(c.version)) << c.name;
        EXPECT_EQ(json.contains("needUp"), c.needUp) << c.name;
        EXPECT_EQ(json.value("model").toString(), QString(c.model)) << c.name;
        EXPECT_EQ(json.value("decimals").toInt(), c.decimals) << c.name;
        EXPECT_EQ(json.value("supPtl").toBool(), c.supPtl) << c.name;
        EXPECT_EQ(json.value("sn").toString(), QStringLiteral("SN123456"));
        EXPECT_EQ(json.value("bootVersion").toString(), QStringLiteral("V1.2"));
        EXPECT_EQ(json.value("HVersion").toString(), QStringLiteral("V1.0"));
    }
    DeviceInfo info;
    const QByteArray shortPayload(28, '\0');
    EXPECT_FALSE(decodeDeviceInfo(reinterpret_cast<const uint8_t*>(shortPayload.constData()), 28, &info));
}
