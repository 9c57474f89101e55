// Our USB-PD decoder on lines written bit by bit: what real transmitters do
// that a clean negotiation never shows.

#include "decode/decodecontroller.h"
#include "decode/decodetablemodel.h"
#include "linebuilder.h"
#include "pdtestsupport.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

using kvq::decode::DecodeController;
using kvq::decode::PdMessage;
using kvq::waveform::Segment;
using kvqtest::LineBuilder;

namespace {

struct Decoded {
    std::vector<PdMessage> messages;
    QStringList names() const
    {
        QStringList list;
        for (const PdMessage& m : messages)
            list << m.name;
        return list;
    }
};

Decoded decode(LineBuilder& line)
{
    EXPECT_TRUE(kvqtest::ensureRuntime());
    QTemporaryDir cache;
    Segment store;
    store.setMemoryDir(cache.path());
    line.writeTo(store);
    DecodeController controller;
    return {kvqtest::decodeAll(controller, store)};
}

QString detailText(const PdMessage& m)
{
    return QString::fromUtf8(QJsonDocument(kvq::decode::DecodeTableModel::detailOf(m)).toJson());
}

const std::vector<std::uint32_t> kCaps = {LineBuilder::fixedPdo(5, 3), LineBuilder::fixedPdo(9, 3),
                                          LineBuilder::fixedPdo(15, 3)};

} // namespace

// A retransmission whose preamble broke off: some alternating bits, the line
// idle, then the ordered set and an intact packet. Decoded at the edges of
// the bit-rate window too, with and without a packet before it.
TEST(Decoder, PacketAfterABrokenPreambleIsDecoded)
{
    for (double rate : {270e3, 300e3, 330e3}) {
        for (bool before : {false, true}) {
            SCOPED_TRACE(std::to_string(int(rate)) + (before ? " after a packet" : " alone"));
            LineBuilder line(2e6, rate);
            line.idle(100e-6);
            if (before) {
                line.packet(LineBuilder::message(3, 0, true, 1, {})); // Accept
                line.idle(200e-6);
            }
            line.preamble(18);
            line.idle(40e-6);
            line.sop();
            line.payload(LineBuilder::message(1, 3, true, 2, kCaps));
            const Decoded d = decode(line);
            const QStringList expected =
                before ? QStringList{"Accept", "Source_Capabilities"} : QStringList{"Source_Capabilities"};
            ASSERT_EQ(d.names(), expected);
            const PdMessage& caps = d.messages.back();
            EXPECT_FALSE(caps.note.contains("CRC error")) << caps.note.toStdString();
            EXPECT_TRUE(caps.note.contains("Fixed 15V 3A")) << caps.note.toStdString();
            EXPECT_EQ(caps.messageId, 2);
        }
    }
}

// A burst may end anywhere inside the ordered set; what follows still decodes.
TEST(Decoder, BurstEndingInsideTheOrderedSet)
{
    for (int cut = 1; cut < 20; ++cut) {
        SCOPED_TRACE(cut);
        LineBuilder line;
        line.idle(100e-6);
        line.preamble();
        std::string set;
        for (const char* k :
             {LineBuilder::kSync1, LineBuilder::kSync1, LineBuilder::kSync1, LineBuilder::kSync2})
            for (int i = 4; i >= 0; --i)
                set += k[i];
        line.bits(set.substr(0, size_t(cut)));
        line.idle(300e-6);
        line.packet(LineBuilder::message(8, 0, true, 4, {})); // Get_Sink_Cap
        const Decoded d = decode(line);
        ASSERT_FALSE(d.messages.empty());
        EXPECT_EQ(d.messages.back().name, QStringLiteral("Get_Sink_Cap"));
        EXPECT_EQ(d.messages.back().messageId, 4);
    }
}

// Random bursts (preamble pieces, K-codes, symbols, raw bits, cut anywhere)
// never stop the decoder: the packet after them is still decoded.
TEST(Decoder, NeverRaisesOnGeneratedBits)
{
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        const auto pick = [&](int n) { return int(rng() % unsigned(n)); };
        LineBuilder line;
        for (int burst = 0; burst < 60; ++burst) {
            line.idle(30e-6 + pick(100) * 1e-6);
            std::string bits;
            const int pieces = 1 + pick(12);
            for (int p = 0; p < pieces; ++p) {
                switch (pick(6)) {
                case 5: // an ordered set, which the cut below may end inside
                    for (const char* k :
                         {LineBuilder::kSync1, LineBuilder::kSync1, LineBuilder::kSync1, LineBuilder::kSync2})
                        for (int i = 4; i >= 0; --i)
                            bits += k[i];
                    break;
                case 0:
                    for (int i = pick(70); i > 0; --i)
                        bits += char('0' + (i & 1));
                    break;
                case 1: {
                    static const char* const k[] = {"11000", "10001", "00110", "00111", "11001", "01101"};
                    const char* code = k[pick(6)];
                    for (int i = 4; i >= 0; --i)
                        bits += code[i];
                    break;
                }
                case 2: {
                    const char* code = LineBuilder::code(pick(16));
                    for (int i = 4; i >= 0; --i)
                        bits += code[i];
                    break;
                }
                default:
                    for (int i = pick(40); i > 0; --i)
                        bits += char('0' + pick(2));
                }
            }
            if (pick(2))
                line.preamble(64);
            line.bits(bits.substr(0, bits.size() - size_t(pick(int(bits.size()) + 1))));
        }
        line.idle(300e-6);
        line.packet(LineBuilder::message(8, 0, true, 5, {}));
        const Decoded d = decode(line);
        ASSERT_FALSE(d.messages.empty());
        EXPECT_EQ(d.messages.back().name, QStringLiteral("Get_Sink_Cap"));
        EXPECT_EQ(d.messages.back().messageId, 5);
    }
}

// An EPR_Source_Capabilities in two chunks: the offers are read from the
// whole data block on the chunk that completes it.
TEST(Decoder, ChunkedExtendedMessageIsReassembled)
{
    const std::vector<std::uint32_t> offers = {LineBuilder::fixedPdo(5, 3),
                                               LineBuilder::fixedPdo(9, 3),
                                               LineBuilder::fixedPdo(15, 3),
                                               LineBuilder::fixedPdo(20, 5),
                                               0,
                                               0,
                                               0, // SPR positions, three unused
                                               LineBuilder::fixedPdo(28, 5),
                                               LineBuilder::fixedPdo(36, 5),
                                               LineBuilder::fixedPdo(48, 5),
                                               (3u << 30) | (1u << 28) | (480u << 17) | (150u << 8) |
                                                   240u}; // EPR AVS 15-48 V 240 W
    std::vector<std::uint8_t> block;
    for (std::uint32_t w : offers)
        for (int k = 0; k < 4; ++k)
            block.push_back(std::uint8_t(w >> (8 * k)));
    const int size = int(block.size()); // 44 bytes: chunks of 26 and 18
    const auto chunk = [&](int n, int id) {
        const int from = 26 * n;
        const int bytes = std::min(26, size - from);
        std::vector<std::uint8_t> data = {std::uint8_t(size), std::uint8_t(0x80 | (n << 3))};
        data.insert(data.end(), block.begin() + from, block.begin() + from + bytes);
        while (data.size() % 4)
            data.push_back(0);
        std::vector<std::uint8_t> message =
            LineBuilder::message(0x11, int(data.size() / 4), true, id, {}, true);
        message.insert(message.end(), data.begin(), data.end());
        return message;
    };
    LineBuilder line;
    line.idle(100e-6);
    line.packet(chunk(0, 1));
    line.idle(300e-6);
    line.packet(chunk(1, 2));
    const Decoded d = decode(line);
    ASSERT_EQ(d.names(), (QStringList{"EPR_Source_Capabilities", "EPR_Source_Capabilities"}));
    const QString first = d.messages[0].note, whole = d.messages[1].note;
    EXPECT_TRUE(first.contains("chunk 0: bytes 0-25 of 44")) << first.toStdString();
    EXPECT_FALSE(first.contains("Fixed 0V")) << first.toStdString();
    for (const char* offer :
         {"Fixed 28V 5A", "Fixed 36V 5A", "Fixed 48V 5A", "EPR AVS 15V-48V 240W", "Unused"})
        EXPECT_TRUE(whole.contains(offer)) << offer << " in " << whole.toStdString();
    EXPECT_FALSE(whole.contains("Battery")) << whole.toStdString();
    EXPECT_FALSE(whole.contains("Fixed 0V")) << whole.toStdString();
}

// A packet cut short without EOP and followed at once by the next preamble:
// the cut one is reported as such and the next one decoded in full.
TEST(Decoder, CutPacketFollowedAtOnceByTheNext)
{
    LineBuilder line;
    line.idle(100e-6);
    line.preamble();
    line.sop();
    line.payload(LineBuilder::message(1, 3, true, 0, kCaps), false);
    line.packet(LineBuilder::message(3, 0, true, 1, {})); // no idle in between
    const Decoded d = decode(line);
    ASSERT_EQ(d.messages.size(), 2u);
    EXPECT_EQ(d.messages[0].note, QStringLiteral("Pack no eop"));
    EXPECT_EQ(d.messages[1].name, QStringLiteral("Accept"));
    EXPECT_EQ(d.messages[1].messageId, 1);
}

// The peak current field of fixed source PDOs, as USB PD defines its codes.
TEST(Decoder, PeakCurrentOfFixedSourcePdos)
{
    const char* const expected[] = {"100% IOC", "150%/125%/110% IOC for 1/2/10 ms",
                                    "200%/150%/125% IOC for 1/2/10 ms", "200%/175%/150% IOC for 1/2/10 ms"};
    LineBuilder line;
    for (std::uint32_t code = 0; code < 4; ++code) {
        line.idle(300e-6);
        line.packet(LineBuilder::message(1, 1, true, int(code), {LineBuilder::fixedPdo(5, 3, code << 20)}));
    }
    const Decoded d = decode(line);
    ASSERT_EQ(d.messages.size(), 4u);
    for (int code = 0; code < 4; ++code)
        EXPECT_TRUE(detailText(d.messages[size_t(code)]).contains(expected[code]))
            << code << ": " << detailText(d.messages[size_t(code)]).toStdString();
}
