#include "files/busfile.h"
#include "testsupport.h"

#include <gtest/gtest.h>

using namespace kvq::decode;

TEST(BusFile, WritesChangePointsOnly)
{
    const struct {
        const char* name;
        std::vector<MessageBus> messages;
        const char* expected;
    } cases[] = {
        {"no message: empty file", {}, ""},
        {"two changes: three lines",
         {{100, 5.0f, 0.5f}, {200, 5.0f, 0.5f}, {300, 9.0f, 0.5f}, {400, 9.0f, 0.5f}, {500, 9.0f, 1.25f}},
         "sample=100,vbus=5.000,ibus=0.500\r\nsample=300,vbus=9.000,ibus=0.500\r\nsample=500,vbus=9.000,ibus="
         "1.250"},
        {"unset values", {{7, -99999.0f, -99999.0f}}, "sample=7,vbus=-99999.000,ibus=-99999.000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatBusFile(c.messages), QByteArray(c.expected)) << c.name;
}

TEST(BusFile, ReadsKeyedAndTimedLines)
{
    const struct {
        const char* name;
        const char* text;
        std::vector<BusSample> expected;
    } cases[] = {
        {"keyed, as written",
         "sample=100,vbus=5.000,ibus=0.500\r\nsample=300,vbus=9.000,ibus=0.500",
         {{100, 5.0f, 0.5f, false}, {300, 9.0f, 0.5f, false}}},
        {"keyed with blanks and capitals",
         "SAMPLE=42 , VBUS = 20.5 ,  IBUS= 3.25 ",
         {{42, 20.5f, 3.25f, false}}},
        {"timed clock form", "00:00:01.500,5.000V/0.500A", {{1500, 5.0f, 0.5f, true}}},
        {"timed milliseconds, lower-case units", "2500, 15v / 2a", {{2500, 15.0f, 2.0f, true}}},
        {"incomplete or negative keyed lines skipped", "sample=1,vbus=5\nsample=-5,vbus=1,ibus=1", {}},
        {"other shapes skipped",
         "garbage\n1,2,3\n00:00:01.000,5V\n\n  \nsample=9,vbus=1,ibus=2",
         {{9, 1.0f, 2.0f, false}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseBusFile(QString::fromLatin1(c.text)), c.expected) << c.name;
}

TEST(BusFile, RoundTrip)
{
    const std::vector<MessageBus> messages{{0, 5.1f, 0.25f}, {4000, 20.0f, 3.0f}};
    const std::vector<BusSample> read = parseBusFile(QString::fromLatin1(formatBusFile(messages)));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].key, 4000);
    EXPECT_FLOAT_EQ(read[0].vbus, 5.1f);
}
