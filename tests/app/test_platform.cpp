#include "app/base/platform/platform.h"
#include "testsupport.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace kvq::platform;

TEST(Platform, ParseMemInfo)
{
    const QByteArray text = "MemTotal:       24567890 kB\n"
                            "MemFree:         1000000 kB\n"
                            "MemAvailable:   12000000 kB\n"
                            "HugePages_Total:       0\n"
                            "Broken:         abc kB\n"
                            "Weird:          12 MB\n";
    const struct {
        const char* key;
        qint64 expected;
    } cases[] = {
        {"MemTotal", 24567890LL * 1024},
        {"MemAvailable", 12000000LL * 1024},
        {"MemFree", 1000000LL * 1024},
        {"HugePages_Total", 0},
        {"Broken", -1},
        {"Weird", -1}, // an unknown unit is not guessed at
        {"Missing", -1},
        {"Mem", -1}, // a prefix of a key is not the key
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseMemInfo(text, c.key), c.expected) << c.key;
    EXPECT_EQ(parseMemInfo(QByteArray(), "MemTotal"), -1);
}

TEST(Platform, ParseCpuModelName)
{
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"processor\t: 0\nmodel name\t: AMD EPYC 7B13 64-Core Processor  \nflags\t: fpu\n"
         "model name\t: second\n",
         "AMD EPYC 7B13 64-Core Processor"},
        {"processor\t: 0\nmodel\t\t: 1\n", ""}, // e.g. ARM kernels without a model name
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseCpuModelName(c.text), QString::fromLatin1(c.expected));
}

TEST(Platform, MemoryReadingsAndOverride)
{
    const qint64 total = totalPhysicalMemory();
    const qint64 available = availablePhysicalMemory();
    EXPECT_GT(total, 0);
    EXPECT_GT(available, 0);
    EXPECT_LE(available, total);
    setAvailableMemoryOverride(123);
    EXPECT_EQ(availablePhysicalMemory(), 123);
    setAvailableMemoryOverride(-1);
    EXPECT_GT(availablePhysicalMemory(), 123);
}

TEST(Platform, AppDataLocationFollowsXdg)
{
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    const struct {
        const char* xdg; // nullptr: unset
        QString expected;
    } cases[] = {
        {nullptr, QDir::homePath() + "/.local/share/Korvanex/KVQ-M2_View"},
        {"", QDir::homePath() + "/.local/share/Korvanex/KVQ-M2_View"},
        {"/srv/data", "/srv/data/Korvanex/KVQ-M2_View"},
        {"relative/data", ""}, // unusable: the caller falls back to the home folder
    };
    for (const auto& c : cases) {
        if (c.xdg)
            qputenv("XDG_DATA_HOME", c.xdg);
        else
            qunsetenv("XDG_DATA_HOME");
        EXPECT_EQ(appDataLocation(), c.expected) << (c.xdg ? c.xdg : "(unset)");
    }
    if (saved.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", saved);
}

TEST(Platform, SetEnvironmentReachesThisProcess)
{
    ASSERT_TRUE(setEnvironment("KVQ_TEST_VARIABLE", QStringLiteral("/opt/kvq python")));
    EXPECT_EQ(qgetenv("KVQ_TEST_VARIABLE"), QByteArray("/opt/kvq python"));
    qunsetenv("KVQ_TEST_VARIABLE");
}
