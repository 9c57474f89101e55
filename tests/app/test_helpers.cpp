#include "app/base/helpers.h"
#include "app/base/platform/platform.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

using namespace kvq;

TEST(Helpers, ParseClockTime)
{
    const struct {
        const char* text;
        qint64 expected;
    } cases[] = {
        {"00:00:00.000", 0},  {"01:02:03.004", 3723004}, {"23:59:59.999", 86399999},
        {"25:00:00.000", -1},                                                 // hour out of range
        {"12:60:00.000", -1}, {"12:00:60.000", -1},      {"1:02:03.004", -1}, // hours need two digits
        {"01:02:03", -1},                                                     // milliseconds missing
        {"01:02:03.4", -1},   {"01:02:03.004 ", -1},     {"", -1},
        {"ab:cd:ef.ghi", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseClockTime(QString::fromLatin1(c.text)), c.expected) << c.text;
}

TEST(Helpers, FormatClockTime)
{
    const struct {
        qint64 ms;
        const char* expected;
    } cases[] = {
        {0, "00:00:00.000"},
        {3723004, "01:02:03.004"},
        {86399999, "23:59:59.999"},
        {90000000, "25:00:00.000"}, // not wrapped at 24 h
        {360000000000, "100000:00:00.000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatClockTime(c.ms), QString::fromLatin1(c.expected)) << c.ms;
    // The two are inverse wherever both are defined.
    EXPECT_EQ(parseClockTime(formatClockTime(45296789)), 45296789);
}

TEST(Helpers, FormatDuration)
{
    const struct {
        qint64 ms;
        int digits;
        const char* expected;
    } cases[] = {
        {-61500, 1, "-00:01:01.5"}, {61500, 0, "00:01:01"},
        {61504, 2, "00:01:01.50"},  {61504, 3, "00:01:01.504"},
        {61504, 7, "00:01:01.504"}, // digits clamped to 3
        {61504, -2, "00:01:01"},    // and to 0
        {0, 3, "00:00:00.000"},     {100 * 3600000LL + 5, 3, "100:00:00.005"},
        {-1, 3, "-00:00:00.001"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatDuration(c.ms, c.digits), QString::fromLatin1(c.expected)) << c.ms << " " << c.digits;
}

TEST(Helpers, FormatElapsed)
{
    const struct {
        qint64 ms;
        bool plain;
        bool withMs;
        const char* expected;
    } cases[] = {
        {59000, true, true, "0:0:59:0"},   {59000, false, true, "00:00:59:000"},
        {59000, false, false, "00:00:59"}, {3599999, true, false, "0:59:59"},
        {3600000, true, false, "1:0:0"},   {3600000 * 30LL + 61007, false, true, "30:01:01:007"},
        {-61007, true, true, "-0:1:1:7"},  {-61007, false, false, "-00:01:01"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatElapsed(c.ms, c.plain, c.withMs), QString::fromLatin1(c.expected)) << c.ms;
}

TEST(Helpers, FormatFixed4)
{
    const struct {
        double value;
        const char* expected;
    } cases[] = {
        {1.5, "01.5000"},       {123.45678, "123.4568"}, {-0.5, "-00.5000"}, {-12.25, "-12.2500"},
        {0.0, "00.0000"},       {9.99995, "10.0000"}, // rounding carries into the integer part
        {-0.00001, "-00.0000"},                       // negative values keep their sign
        {20.1234, "20.1234"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatFixed4(c.value), QString::fromLatin1(c.expected)) << c.value;
}

TEST(Helpers, FormatTruncated)
{
    const struct {
        double value;
        int decimals;
        const char* expected;
    } cases[] = {
        {1.239, 2, "1.23"},   {-1.231, 2, "-1.24"},                 // toward minus infinity
        {5.0, 3, "5.000"},    {7.9, 0, "7"},        {7.9, -3, "7"}, // negative decimals count as 0
        {0.29, 2, "0.29"},                        // 0.29 * 100 is 28.999999999999996 in binary
        {4.35, 2, "4.35"},    {1.005, 2, "1.00"}, // really 1.00499999999999989...
        {-0.001, 2, "-0.01"}, {0.0001, 2, "0.00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatTruncated(c.value, c.decimals), QString::fromLatin1(c.expected))
            << c.value << " " << c.decimals;
}

TEST(Helpers, MakeUniqueEntryGivesDistinctNamesWithinOneSecond)
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + QStringLiteral("/a/b");
    const QString first = makeUniqueEntry(folder, true);
    const QString second = makeUniqueEntry(folder, true);
    const QString third = makeUniqueEntry(folder, false);
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_TRUE(QFileInfo(first).isFile());
    EXPECT_TRUE(QFileInfo(second).isFile());
    EXPECT_TRUE(QFileInfo(third).isDir());
    EXPECT_EQ(QFileInfo(first).path(), folder);
    // Names are whole seconds since 1970, so later entries sort after earlier ones.
    EXPECT_LT(QFileInfo(first).fileName().toLongLong(), QFileInfo(second).fileName().toLongLong());
}

TEST(Helpers, PruneEmptyFoldersKeepsFilesAndTheirFolders)
{
    QTemporaryDir tmp;
    const QString root = tmp.path();
    QDir().mkpath(root + "/empty/deeper/deepest");
    QDir().mkpath(root + "/.hidden/empty");
    QDir().mkpath(root + "/kept/empty");
    ASSERT_TRUE(kvqtest::writeAll(root + "/kept/file.bin", "x"));
    QDir().mkpath(root + "/kept2/.hiddenfolder");
    ASSERT_TRUE(kvqtest::writeAll(root + "/kept2/.hiddenfolder/.dotfile", "y"));

    pruneEmptyFolders(root);

    EXPECT_FALSE(QFileInfo::exists(root + "/empty"));
    EXPECT_FALSE(QFileInfo::exists(root + "/.hidden"));
    EXPECT_FALSE(QFileInfo::exists(root + "/kept/empty"));
    EXPECT_TRUE(QFileInfo::exists(root + "/kept/file.bin"));
    EXPECT_TRUE(QFileInfo::exists(root + "/kept2/.hiddenfolder/.dotfile"));
    EXPECT_TRUE(QFileInfo(root).isDir()); // the folder itself stays

    pruneEmptyFolders(QString()); // an empty path does nothing (and certainly not ".")
}

TEST(Helpers, GuardedAllocRefusesEveryTenthCallWhenMemoryIsLow)
{
    // Plenty of memory: never refused.
    platform::setAvailableMemoryOverride(8LL << 30);
    for (int i = 0; i < 30; ++i) {
        void* block = guardedAlloc(64);
        ASSERT_NE(block, nullptr);
        std::free(block);
    }
    // Just under the threshold: exactly one refusal in any ten consecutive calls.
    platform::setAvailableMemoryOverride(kLowMemoryBytes - 1);
    int refused = 0;
    for (int i = 0; i < 20; ++i) {
        void* block = guardedAlloc(64);
        refused += block == nullptr;
        std::free(block);
    }
    EXPECT_EQ(refused, 2);
    // At the threshold the memory counts as enough.
    platform::setAvailableMemoryOverride(kLowMemoryBytes);
    for (int i = 0; i < 10; ++i) {
        void* block = guardedAlloc(64);
        EXPECT_NE(block, nullptr);
        std::free(block);
    }
    platform::setAvailableMemoryOverride(-1);
}
