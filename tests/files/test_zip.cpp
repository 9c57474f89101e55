#include "files/ziphelper.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <quazip5/quazip.h>
#include <quazip5/quazipfile.h>
#include <quazip5/quazipnewinfo.h>

#include <gtest/gtest.h>

namespace {

QStringList entriesOf(const QString& zipPath)
{
    QuaZip zip(zipPath);
    QStringList names;
    if (!zip.open(QuaZip::mdUnzip))
        return names;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile())
        names << zip.getCurrentFileName();
    return names;
}

} // namespace

TEST(Zip, DirectoryRoundTripWithProgress)
{
    QTemporaryDir tmp;
    const QString src = tmp.path() + "/src";
    QDir().mkpath(src + "/sub/deeper");
    QDir().mkpath(src + "/empty");
    ASSERT_TRUE(kvqtest::writeAll(src + "/top.ini", "[channel]\ncount=1\n"));
    ASSERT_TRUE(kvqtest::writeAll(src + "/sub/a.txt", QByteArray(10000, 'a')));
    ASSERT_TRUE(kvqtest::writeAll(src + "/sub/deeper/b.bin", QByteArray(50000, '\x5a')));
    ZipHelper zip;
    QSignalSpy schedule(&zip, &ZipHelper::sendZipDirSchedule);
    ASSERT_TRUE(zip.compressDir(src, src + "/capture.kvqcc")); // the archive lies inside the folder it packs
    const QStringList names = entriesOf(src + "/capture.kvqcc");
    EXPECT_FALSE(names.contains("capture.kvqcc"));
    EXPECT_TRUE(names.contains("sub/") && names.contains("sub/deeper/") && names.contains("empty/"));
    EXPECT_LT(names.indexOf("sub/deeper/b.bin"), names.indexOf("sub/a.txt")); // sub-folders before files
    EXPECT_LT(names.indexOf("sub/a.txt"), names.indexOf("top.ini"));
    int last = -1;
    for (const auto& s : schedule) {
        EXPECT_GE(s.at(0).toInt(), last);
        last = s.at(0).toInt();
    }
    EXPECT_EQ(last, 100);

    const QString out = tmp.path() + "/out/nested";
    QSignalSpy unzip(&zip, &ZipHelper::sendUnZipDirSchedule);
    ASSERT_TRUE(zip.extractDir(src + "/capture.kvqcc", out));
    EXPECT_EQ(kvqtest::readAll(out + "/sub/deeper/b.bin"), QByteArray(50000, '\x5a'));
    EXPECT_EQ(kvqtest::readAll(out + "/top.ini"), QByteArray("[channel]\ncount=1\n"));
    EXPECT_TRUE(QFileInfo(out + "/empty").isDir());
    EXPECT_EQ(unzip.last().at(0).toInt(), 100);
}

// An archive with any entry that could land outside its target, or a link,
// is refused as a whole: nothing is left behind, inside or outside.
TEST(Zip, ArchivesWithUnsafeEntriesAreRefused)
{
    struct Case {
        const char* name;
        quint32 mode; // Unix mode in the external attributes, 0 for none
    };
    const Case cases[] = {
        {"../evil.txt", 0},  {"a/../../evil2.txt", 0}, {"/tmp/abs.txt", 0},
        {"C:/drive.txt", 0}, {"a\\b.txt", 0},          {"link", 0120777},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir tmp;
        const QString zipPath = tmp.path() + "/evil.zip";
        {
            QuaZip zip(zipPath);
            ASSERT_TRUE(zip.open(QuaZip::mdCreate));
            for (const char* name : {"ok.txt", c.name}) {
                QuaZipNewInfo info(QString::fromLatin1(name));
                if (name == c.name && c.mode)
                    info.externalAttr = c.mode << 16;
                QuaZipFile entry(&zip);
                ASSERT_TRUE(entry.open(QIODevice::WriteOnly, info));
                entry.write("payload");
                entry.close();
            }
            zip.close();
        }
        ZipHelper helper;
        EXPECT_FALSE(helper.extractDir(zipPath, tmp.path() + "/target"));
        EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/target/ok.txt"));
        EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/evil.txt"));
        EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/evil2.txt"));
        EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/target/link"));
    }
}

// A buffer file cannot expand beyond the 1 MiB a buffer holds.
TEST(Zip, OversizedBufferEntriesAreCut)
{
    QTemporaryDir tmp;
    const QString zipPath = tmp.path() + "/bomb.zip";
    {
        QuaZip zip(zipPath);
        ASSERT_TRUE(zip.open(QuaZip::mdCreate));
        for (const char* name : {"0/0-0.bin", "big.txt"}) {
            QuaZipFile entry(&zip);
            ASSERT_TRUE(entry.open(QIODevice::WriteOnly, QuaZipNewInfo(QString::fromLatin1(name))));
            const QByteArray zeros(1 << 20, '\0');
            for (int i = 0; i < 5; ++i)
                entry.write(zeros);
            entry.close();
        }
        zip.close();
    }
    EXPECT_LT(QFileInfo(zipPath).size(), 100000);
    ZipHelper helper;
    ASSERT_TRUE(helper.extractDir(zipPath, tmp.path() + "/target"));
    EXPECT_EQ(QFileInfo(tmp.path() + "/target/0/0-0.bin").size(), 1 << 20);
    EXPECT_EQ(QFileInfo(tmp.path() + "/target/big.txt").size(), 5 << 20);
}

TEST(Zip, EmptyAndCorruptArchives)
{
    QTemporaryDir tmp;
    QDir().mkpath(tmp.path() + "/nothing");
    ZipHelper helper;
    ASSERT_TRUE(helper.compressDir(tmp.path() + "/nothing", tmp.path() + "/empty.zip"));
    EXPECT_TRUE(entriesOf(tmp.path() + "/empty.zip").isEmpty());
    EXPECT_FALSE(helper.extractDir(tmp.path() + "/empty.zip", tmp.path() + "/x")); // nothing to extract
    ASSERT_TRUE(kvqtest::writeAll(tmp.path() + "/corrupt.zip", "PK\x03\x04 this is not a zip archive"));
    EXPECT_FALSE(helper.extractDir(tmp.path() + "/corrupt.zip", tmp.path() + "/y"));
    EXPECT_FALSE(helper.extractDir(tmp.path() + "/missing.zip", tmp.path() + "/z"));
    EXPECT_FALSE(helper.compressDir(tmp.path() + "/nothing", "/dev/null/x.zip")); // cannot be written
    EXPECT_FALSE(QFileInfo::exists("/dev/null/x.zip"));
}
