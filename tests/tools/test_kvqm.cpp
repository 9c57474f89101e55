#include "filejob.h"
#include "files/threadwork.h"
#include "testsupport.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using kvq::waveform::WaveformData;

namespace {

struct Outcome {
    int code;
    QString out;
    QString err;
};

Outcome kvqm(const QStringList& args, const QString& dir, int timeoutMs = 60000)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(KVQ_OUTPUT_DIR "/kvqm", args);
    p.waitForFinished(timeoutMs);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

qint64 load(const QString& path, WaveformData* store)
{
    ThreadWork worker;
    kvqtest::runFileJob(worker, false, path, store, qint8(path.endsWith(".csv") ? 0 : 1));
    return store->count();
}

// Waits (at most 60 s: sanitizer builds are slow) until `path` holds `bytes`.
bool waitForBytes(const QString& path, qint64 bytes)
{
    for (int i = 0; i < 600 && QFileInfo(path).size() < bytes; ++i)
        QThread::msleep(100);
    return QFileInfo(path).size() >= bytes;
}

} // namespace

TEST(Kvqm, BadArgumentsGiveOneLineAndFailure)
{
    QTemporaryDir tmp;
    const struct {
        QStringList args;
        const char* message;
    } cases[] = {
        {{"frobnicate"}, "unknown command"},
        {{"record", "--simulate"}, "record needs -o"},
        {{"record", "--simulate", "-o", "x.txt"}, "record needs -o"},
        {{"record", "--simulate", "--rate", "7", "-o", "x.csv"}, "--rate takes"},
        {{"record", "--simulate", "--seconds", "-1", "-o", "x.csv"}, "--seconds takes"},
        {{"record", "--simulate", "--stop-if", "heat<3:2", "-o", "x.csv"}, "--stop-if takes"},
        {{"record", "--simulate", "-o", "/dev/null/x.csv"}, "cannot write"},
        {{"convert", "missing.csv", "out.sqlite3"}, "does not exist"},
        {{"convert", "a.csv"}, "convert takes IN and OUT"},
        {{"offline", "get", "9", "-o", "x.csv", "--simulate"}, "record number"},
        {{"offline", "shred", "--simulate"}, "offline takes"},
        {{"decode"}, "no input"},
        {{"decode", "missing.sr"}, "cannot read"},
        {{"decode", KVQ_SOURCE_DIR "/tests/decode/data/captures/apple_power_brick.sr", "--format", "xml"},
         "--format is"},
        {{"decode", KVQ_SOURCE_DIR "/tests/decode/data/captures/apple_power_brick.sr", "--probe", "CC9"},
         "no probe CC9"},
        {{"decode", KVQ_SOURCE_DIR "/tests/decode/data/captures/README.md"}, "Failed to Decompress"},
    };
    for (const auto& c : cases) {
        const Outcome r = kvqm(c.args, tmp.path());
        EXPECT_NE(r.code, 0) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("kvqm: ") && r.err.contains(c.message)) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    const Outcome help = kvqm({"record", "--help"}, tmp.path());
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("usage: kvqm"));
}

TEST(Kvqm, RecordsAndConvertsBothWays)
{
    QTemporaryDir tmp;
    const Outcome rec = kvqm({"--simulate", "record", "--seconds", "3", "-o", "r.csv"}, tmp.path());
    ASSERT_EQ(rec.code, 0) << rec.err.toStdString();
    EXPECT_TRUE(rec.out.contains(" V  ")); // live values once a second
    WaveformData store;
    const qint64 rows = load(tmp.path() + "/r.csv", &store);
    EXPECT_GT(rows, 2500);
    EXPECT_LT(rows, 3500);
    EXPECT_EQ(store.times()[rows - 1], rows - 1);
    ASSERT_EQ(kvqm({"convert", "r.csv", "r.sqlite3"}, tmp.path()).code, 0);
    ASSERT_EQ(kvqm({"convert", "r.sqlite3", "back.csv"}, tmp.path()).code, 0);
    EXPECT_EQ(kvqtest::readAll(tmp.path() + "/back.csv"), kvqtest::readAll(tmp.path() + "/r.csv"));
}

TEST(Kvqm, OfflineRecords)
{
    QTemporaryDir tmp;
    const Outcome list = kvqm({"--simulate", "offline", "list"}, tmp.path());
    ASSERT_EQ(list.code, 0) << list.err.toStdString();
    EXPECT_TRUE(list.out.contains("0  120 samples every 1000 ms"));
    EXPECT_TRUE(list.out.contains("1  300 samples every 200 ms"));
    const Outcome get = kvqm({"--simulate", "offline", "get", "1", "-o", "g.sqlite3"}, tmp.path());
    ASSERT_EQ(get.code, 0) << get.err.toStdString();
    WaveformData store;
    EXPECT_EQ(load(tmp.path() + "/g.sqlite3", &store), 300);
    EXPECT_EQ(store.times()[299], 299 * 200);
    EXPECT_EQ(kvqm({"--simulate", "offline", "delete", "all"}, tmp.path()).code, 0);
    EXPECT_NE(kvqm({"--simulate", "offline", "get", "3", "-o", "g.csv"}, tmp.path()).code,
              0); // no such record
}

// A target that cannot be created is an error in every command and layout,
// never named as written.
TEST(Kvqm, TargetsThatCannotBeCreatedFail)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(kvqtest::writeAll(tmp.path() + "/plain", "a file, not a folder"));
    {
        WaveformData store;
        store.setRate(1000);
        store.setLastTime(-1);
        for (int i = 0; i < 50; ++i)
            store.appendSample(5.0f, 1.0f, 0, 0, 0, 0);
        ThreadWork worker;
        kvqtest::runFileJob(worker, true, tmp.path() + "/in.csv", &store, 0);
    }
    for (const char* ext : {".csv", ".sqlite3"}) {
        const QString bad = tmp.path() + "/plain/x" + ext;
        const QList<QStringList> commands = {
            {"--simulate", "record", "--seconds", "1", "-o", bad},
            {"--simulate", "offline", "get", "0", "-o", bad},
            {"convert", "in.csv", bad},
        };
        for (const QStringList& args : commands) {
            SCOPED_TRACE((args.join(' ')).toStdString());
            const Outcome o = kvqm(args, tmp.path());
            EXPECT_NE(o.code, 0);
            EXPECT_EQ(o.err.count('\n'), 1) << o.err.toStdString();
            EXPECT_TRUE(o.err.startsWith("kvqm: "));
            EXPECT_FALSE(o.out.contains(bad)) << o.out.toStdString();
            EXPECT_FALSE(QFileInfo::exists(bad));
        }
    }
}

// A file system that fills up ends the recording: non-zero exit, a summary
// that counts the rows the file holds, and a file whole to its last row.
TEST(Kvqm, RecordingOntoAFullFileSystemFails)
{
    for (const char* ext : {".csv", ".sqlite3"}) {
        SCOPED_TRACE(ext);
        QTemporaryDir tmp;
        const QString file = QStringLiteral("full") + ext;
        // The size limit stands in for a full disk: writes past it fail with EFBIG.
        // Room for more than the first batches even when a slow (sanitizer) build
        // writes them late and large.
        const int kib = file.endsWith(".csv") ? 96 : 400;
        const QString script = QStringLiteral("trap '' XFSZ; ulimit -f %3; exec '%1' --simulate record "
                                              "--seconds 30 -o '%2'")
                                   .arg(KVQ_OUTPUT_DIR "/kvqm", file)
                                   .arg(kib);
        QProcess p;
        p.setWorkingDirectory(tmp.path());
        p.start("bash", {"-c", script});
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        EXPECT_NE(p.exitCode(), 0) << out.toStdString();
        EXPECT_FALSE(out.contains("time is up")) << out.toStdString();
        const QRegularExpression summary("holds the first (\\d+) samples");
        const QRegularExpressionMatch m = summary.match(err);
        ASSERT_TRUE(m.hasMatch()) << err.toStdString();
        const qint64 claimed = m.captured(1).toLongLong();
        WaveformData store;
        const qint64 rows = load(tmp.path() + "/" + file, &store);
        EXPECT_GT(rows, 100);
        EXPECT_EQ(rows, claimed);
        for (qint64 i = 0; i < rows; ++i)
            ASSERT_EQ(store.times()[i], i);
        if (file.endsWith(".csv")) { // no torn last row: every row starts with CR LF
            EXPECT_EQ(kvqtest::readAll(tmp.path() + "/" + file).count("\r\n"), rows);
        }
    }
}

// A recording killed outright keeps every row up to its last flush.
TEST(Kvqm, KilledRecordingLeavesAUsableFile)
{
    QTemporaryDir tmp;
    QProcess p;
    p.setWorkingDirectory(tmp.path());
    p.start(KVQ_OUTPUT_DIR "/kvqm", {"--simulate", "record", "--seconds", "60", "-o", "k.csv"});
    ASSERT_TRUE(p.waitForStarted());
    ASSERT_TRUE(waitForBytes(tmp.path() + "/k.csv", 100000)); // more than a thousand rows
    ::kill(pid_t(p.processId()), SIGKILL);
    p.waitForFinished();
    const QByteArray bytes = kvqtest::readAll(tmp.path() + "/k.csv");
    const int complete = bytes.count("\r\n"); // every row starts with CR LF
    WaveformData store;
    const qint64 rows = load(tmp.path() + "/k.csv", &store);
    EXPECT_GT(rows, 1000);
    EXPECT_GE(rows, complete - 1); // at most a torn last row is left out
    for (qint64 i = 0; i < rows; ++i)
        ASSERT_EQ(store.times()[i], i);
}

TEST(Kvqm, CtrlCEndsWithACompleteFile)
{
    QTemporaryDir tmp;
    QProcess p;
    p.setWorkingDirectory(tmp.path());
    p.start(KVQ_OUTPUT_DIR "/kvqm", {"--simulate", "record", "-o", "c.sqlite3"});
    ASSERT_TRUE(p.waitForStarted());
    ASSERT_TRUE(waitForBytes(tmp.path() + "/c.sqlite3", 40000)); // the first batches are in
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    EXPECT_TRUE(out.contains("interrupted")) << out.toStdString();
    WaveformData store;
    EXPECT_GT(load(tmp.path() + "/c.sqlite3", &store), 500);
}

// Every shared capture decodes from the command line in each format, with as
// many messages as the reference lists; a protocol file gives the same.
TEST(Kvqm, DecodesCapturesInEveryFormat)
{
    QTemporaryDir tmp;
    const char* const captures[][2] = {{"apple_power_brick", "CC1"},
                                       {"power_supply_20V", "CC1"},
                                       {"thinkpad_yoga_370-aukey_45w", "CC2"},
                                       {"zy12pds_sink_module-65w_noname_supply", "CC1"}};
    for (const auto& c : captures) {
        SCOPED_TRACE(c[0]);
        const QString dir = QStringLiteral(KVQ_SOURCE_DIR "/tests/decode/data/");
        const QString sr = dir + "captures/" + c[0] + ".sr";
        const int expected = kvqtest::readAll(dir + c[0] + "." + c[1] + ".ref").count('\n');
        const Outcome table = kvqm({"decode", sr}, tmp.path());
        ASSERT_EQ(table.code, 0) << table.err.toStdString();
        EXPECT_EQ(table.out.count('\n'), expected);
        EXPECT_TRUE(table.err.contains(QStringLiteral("probe ") + c[1]));
        const Outcome csv = kvqm({"decode", sr, "--format", "csv", "--probe", c[1]}, tmp.path());
        ASSERT_EQ(csv.code, 0);
        EXPECT_TRUE(csv.out.startsWith("time,vbus_ibus,sop,role,id,name,raw,crc,note\n"));
        EXPECT_EQ(csv.out.count('\n'), expected + 1);
        const Outcome json = kvqm({"decode", sr, "--format", "json"}, tmp.path());
        ASSERT_EQ(json.code, 0);
        const QJsonArray list = QJsonDocument::fromJson(json.out.toUtf8()).array();
        ASSERT_EQ(list.size(), expected);
        EXPECT_EQ(list[0].toObject()["name"].toString(), "Source_Capabilities");
        EXPECT_TRUE(list[0].toObject()["detail"].isArray());
    }
}
