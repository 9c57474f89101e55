#include "files/protocolfile.h"
#include "files/ziphelper.h"
#include "testsupport.h"
#include "waveform/segment.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using kvq::waveform::Segment;

namespace {

class ProtocolFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        store.setMemoryDir(tmp.path() + "/buffers");
    }
    // A protocol file made of `members` (name -> contents; a name ending in
    // "/" is a directory).
    QString makeFile(const std::map<QString, QByteArray>& members)
    {
        const QString dir = tmp.path() + "/src" + QString::number(++made);
        QDir().mkpath(dir);
        for (const auto& m : members) {
            if (m.first.endsWith('/')) {
                QDir().mkpath(dir + '/' + m.first);
                continue;
            }
            QDir().mkpath(QFileInfo(dir + '/' + m.first).absolutePath());
            EXPECT_TRUE(kvqtest::writeAll(dir + '/' + m.first, m.second));
        }
        const QString file = dir + ".kvqcc";
        ZipHelper zip;
        EXPECT_TRUE(zip.compressDir(dir, file));
        return file;
    }
    kvq::files::ProtocolFileResult read(const QString& file)
    {
        bus.clear();
        return kvq::files::readProtocolFile(store, file, tmp.path() + "/cache", &bus);
    }

    QTemporaryDir tmp;
    Segment store;
    std::vector<kvq::decode::BusSample> bus;
    int made = 0;
};

TEST_F(ProtocolFile, DamagedFilesEndWithTheirMessage)
{
    const QByteArray rate = "SamplingFrequency=2000\r\n";
    const QString missingTop = makeFile({{"0/channel.ini", "0\r\n8\r\n"}});
    QFile::copy(missingTop, tmp.path() + "/cut.kvqcc");
    const QString truncated = tmp.path() + "/half.kvqcc";
    kvqtest::writeAll(truncated, kvqtest::readAll(makeFile({{"channel.ini", rate}})).left(40));
    kvqtest::writeAll(tmp.path() + "/text.kvqcc", "not an archive");

    struct Case {
        QString file;
        QString message;
    };
    const Case cases[] = {
        {missingTop, "加载工程异常，错误信息:通道配置文件缺失。"},
        {truncated, "加载工程异常，错误信息:解压缩文件失败。"},
        {tmp.path() + "/text.kvqcc", "加载工程异常，错误信息:解压缩文件失败。"},
        {tmp.path() + "/absent.kvqcc", "加载工程异常，错误信息:解压缩文件失败。"},
    };
    for (const Case& c : cases) {
        const kvq::files::ProtocolFileResult result = read(c.file);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.message, c.message);
    }
}

TEST_F(ProtocolFile, MissingChannelsAreSkippedWithAWarning)
{
    struct Case {
        std::map<QString, QByteArray> members;
        QString warning;
    };
    const Case cases[] = {
        {{{"channel.ini", "SamplingFrequency=2000\r\n"}, {"bus.ini", ""}}, "缺失通道0数据目录，已经跳过。\n"},
        {{{"channel.ini", "SamplingFrequency=2000\r\n"}, {"0/", ""}}, "读取通道0配置文件失败，已经跳过。\n"},
    };
    for (const Case& c : cases) {
        const kvq::files::ProtocolFileResult result = read(makeFile(c.members));
        EXPECT_TRUE(result.ok) << result.message.toStdString();
        EXPECT_EQ(result.warnings, QStringList{c.warning});
        EXPECT_EQ(store.sampleCount(0, false), 0);
        EXPECT_EQ(store.rate(), 2000);
    }
}

// Constant blocks need no buffer files; corrupt lines and foreign file names
// are passed over; a short buffer file reads as far as it goes.
TEST_F(ProtocolFile, BlocksAndBuffersAsRecorded)
{
    const QByteArray all = QByteArray::number(~quint64(0));
    QByteArray short0(100, char(0xA5));
    const QString file = makeFile({
        {"channel.ini", "junk\r\nSamplingFrequency=0\r\nSamplingFrequency=4000\r\n"},
        {"bus.ini", "sample=10,vbus=5.000,ibus=0.500\r\n00:00:01.500,9.000V/1.000A\r\nrubbish"},
        {"0/channel.ini", "0\r\n" + QByteArray::number(qlonglong(3 * Segment::kBlockSamples)) + "\r\n" +
                              "0,0\r\n" + // block 0: buffer 0 from its file, the rest never written
                              all + ",6148914691236517205\r\n" + // block 1: constant, levels 1,0,1,0...
                              "x,y\r\n1,2,3\r\nnot a block line\r\n"},
        {"0/0-0.bin", short0},
        {"0/9999-0.bin", "x"},
        {"0/0-64.bin", "x"},
        {"0/a-b.bin", "x"},
        {"0/0-1-2.bin", "x"},
    });
    const kvq::files::ProtocolFileResult result = read(file);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_EQ(result.message, "加载协议文件：" + file);
    EXPECT_EQ(store.rate(), 4000);
    EXPECT_EQ(store.sampleCount(0, false), 3 * Segment::kBlockSamples);
    ASSERT_EQ(bus.size(), 2u);
    EXPECT_EQ(bus[0].key, 10);
    EXPECT_TRUE(bus[1].timed);
    EXPECT_EQ(bus[1].key, 1500);
    // 0xA5: bits 1,0,1,0,0,1,0,1 for the first 800 samples, then zeros.
    EXPECT_TRUE(store.levelAt(0, 0, false));
    EXPECT_FALSE(store.levelAt(1, 0, false));
    EXPECT_TRUE(store.levelAt(7, 0, false));
    EXPECT_TRUE(store.levelAt(799, 0, false));
    EXPECT_FALSE(store.levelAt(807, 0, false));
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(store.levelAt(Segment::kBlockSamples + k * Segment::kBufferSamples + 5, 0, false),
                  k % 2 == 0)
            << k;
    std::int64_t end = 0;
    EXPECT_EQ(store.dataAt(Segment::kBlockSamples, &end, 0), nullptr); // constant: no bytes behind it
}

TEST_F(ProtocolFile, SaveWritesTheStoreAndTheBusChanges)
{
    store.setRate(2000);
    std::vector<std::uint8_t> bytes(3 << 20, 0);
    bytes[5] = 0x3C;                                         // buffer 0 holds data
    std::fill(bytes.begin() + (2 << 20), bytes.end(), 0xFF); // buffer 2 is all high
    ASSERT_EQ(store.writeBytes(0, 0, bytes.data(), qint64(bytes.size()), true), Segment::WriteOk);
    const QString file = tmp.path() + "/out.kvqcc";
    std::vector<kvq::decode::MessageBus> messages = {
        {100, 5.0f, 0.5f}, {200, 5.0f, 0.5f}, {300, 9.0f, 0.5f}, {400, 9.0f, 1.0f}};
    const kvq::files::ProtocolFileResult saved =
        kvq::files::saveProtocolFile(store, messages, file, tmp.path() + "/cache");
    ASSERT_TRUE(saved.ok) << saved.message.toStdString();
    EXPECT_TRUE(
        QDir(tmp.path() + "/cache/save").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    ZipHelper zip;
    ASSERT_TRUE(zip.extractDir(file, tmp.path() + "/look"));
    EXPECT_EQ(kvqtest::readAll(tmp.path() + "/look/channel.ini"), "SamplingFrequency=2000\r\n");
    EXPECT_EQ(kvqtest::readAll(tmp.path() + "/look/bus.ini"),
              "sample=100,vbus=5.000,ibus=0.500\r\nsample=300,vbus=9.000,ibus=0.500\r\n"
              "sample=400,vbus=9.000,ibus=1.000");
    const QList<QByteArray> lines = kvqtest::readAll(tmp.path() + "/look/0/channel.ini").split('\n');
    ASSERT_EQ(lines.size(), 2 + Segment::kBlocks + 1);
    EXPECT_EQ(lines[0], "0\r");
    EXPECT_EQ(lines[1], QByteArray::number(qlonglong(3 * Segment::kBufferSamples)) + "\r");
    EXPECT_EQ(lines[2], "6,4\r"); // buffers 1 and 2 constant, 2 at level 1
    EXPECT_EQ(QDir(tmp.path() + "/look/0").entryList({"*.bin"}), QStringList{"0-0.bin"});
    EXPECT_EQ(QFileInfo(tmp.path() + "/look/0/0-0.bin").size(), Segment::kBufferBytes);

    // No message: an empty bus file; a target that cannot be removed fails and stays.
    ASSERT_TRUE(kvq::files::saveProtocolFile(store, {}, file, tmp.path() + "/cache").ok);
    QDir().mkpath(tmp.path() + "/held/x");
    const kvq::files::ProtocolFileResult held =
        kvq::files::saveProtocolFile(store, {}, tmp.path() + "/held", tmp.path() + "/cache");
    EXPECT_FALSE(held.ok);
    EXPECT_EQ(held.message, "文件被占用，无法删除文件。");
    EXPECT_TRUE(QFileInfo(tmp.path() + "/held/x").isDir());
}

} // namespace
