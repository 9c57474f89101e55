#include "app/base/platform/platform.h"
#include "filejob.h"
#include "files/autosave.h"
#include "files/threadwork.h"
#include "files/waveformfile.h"
#include "testsupport.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QFileInfo>
#include <csignal>
#include <sys/resource.h>

#include <cmath>
#include <memory>

using namespace kvq::waveform;
using namespace kvq::files;

namespace {

std::unique_ptr<WaveformData> liveStore(int samples, bool offline = false)
{
    auto s = std::make_unique<WaveformData>();
    s->setRate(1000);
    s->setLastTime(-1);
    if (offline) {
        s->setOffline(true, 1000, 0);
        s->setLastTime(-1000);
    }
    for (int i = 0; i < samples; ++i) {
        if (offline)
            s->appendVoltageCurrent(5.0f + float(i % 7) * 0.125f, 1.5f);
        else
            s->appendSample(5.0f + float(i % 7) * 0.125f, 1.5f, 0.6f, 0.59f, 1.68f, 0.01f);
    }
    return s;
}

// One file worker; each run waits for its job's end and returns its log line.
struct Worker {
    ThreadWork work;
    int progress = 0; // progress signals of the last job
    QString run(bool save, const QString& path, WaveformData* store, qint8 kind)
    {
        const kvqtest::FileJob job = kvqtest::runFileJob(work, save, path, store, kind);
        progress = job.progress;
        return job.log;
    }
};

std::vector<float> column(const WaveformData& s, int c)
{
    return std::vector<float>(s.values(c), s.values(c) + s.channelCount(c));
}

} // namespace

TEST(WaveformFiles, CsvBytesAreExact)
{
    QTemporaryDir tmp;
    auto store = liveStore(2);
    Worker w;
    EXPECT_EQ(w.run(true, tmp.path() + "/a.csv", store.get(), 0), QStringLiteral("保存波形文件：保存完成。"));
    const QByteArray expected = QByteArray::fromHex("b5e7d1b9285629") // 电压(V) in GB2312
                                    .append(",") +
                                QByteArray();
    const QByteArray bytes = kvqtest::readAll(tmp.path() + "/a.csv");
    EXPECT_TRUE(bytes.startsWith(expected)) << bytes.left(40).toHex().toStdString();
    const QList<QByteArray> lines = bytes.split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith(",\xca\xb1\xbc\xe4(ms)\r")); // header, then CR LF before each row
    EXPECT_EQ(lines[1], QByteArray("5,1.5,7.5,0.6,0.59,1.68,0.01,3.33333,2.08333e-06,4.16667e-07,0\r"));
    EXPECT_EQ(lines[2], QByteArray("5.125,1.5,7.6875,0.6,0.59,1.68,0.01,3.41667,4.21875e-06,8.33333e-07,1"));
}

TEST(WaveformFiles, RoundTripsInBothLayouts)
{
    const struct {
        const char* name;
        const char* file;
        qint8 type;
        bool offline;
    } cases[] = {{"CSV", "r.csv", 0, false},
                 {"SQLite", "r.sqlite3", 1, false},
                 {"CSV offline, 7 columns", "o.csv", 0, true},
                 {"SQLite offline", "o.sqlite3", 1, true}};
    for (const auto& c : cases) {
        QTemporaryDir tmp;
        auto store = liveStore(1234, c.offline);
        Worker w;
        const QString path = tmp.path() + "/" + c.file;
        EXPECT_EQ(w.run(true, path, store.get(), c.type), QStringLiteral("保存波形文件：保存完成。"))
            << c.name;
        EXPECT_LE(w.progress, 102) << c.name; // at most once per whole percent
        WaveformData loaded;
        Worker r;
        EXPECT_EQ(r.run(false, path, &loaded, c.type), QStringLiteral("打开文件成功。")) << c.name;
        EXPECT_LE(r.progress, 102) << c.name;
        ASSERT_EQ(loaded.count(), 1234) << c.name;
        for (int ch : {Voltage, Current, Power, Resistance, Energy}) {
            const std::vector<float> got = column(loaded, ch), want = column(*store, ch);
            ASSERT_EQ(got.size(), want.size());
            for (size_t i = 0; i < got.size(); ++i) {
                if (c.type == 1) // SQLite keeps every bit; CSV has 6 significant digits
                    ASSERT_EQ(got[i], want[i]) << c.name << " channel " << ch << " row " << i;
                else
                    ASSERT_NEAR(got[i], want[i], 1e-5 * std::fabs(want[i])) << c.name << " channel " << ch;
            }
        }
        EXPECT_EQ(loaded.times()[1233], store->times()[1233]) << c.name;
        EXPECT_FLOAT_EQ(loaded.values(DPlus)[5], c.offline ? 0.0f : 0.6f) << c.name;
        EXPECT_EQ(loaded.summary(Voltage).mins[0].size(), 2u) << c.name; // summaries rebuilt
    }
}

TEST(WaveformFiles, BadCsvInput)
{
    const QByteArray header = "a,b,c,d,e,f,g,h,i,j,k";
    const struct {
        const char* name;
        QByteArray content;
        const char* log;
        std::vector<qint64> times;
    } cases[] = {
        {"empty file", "", "文件数据异常，无法识别。", {}},
        {"8 columns", "a,b,c,d,e,f,g,h\r\n1,2,3,4,5,6,7,8", "文件数据异常，无法识别。", {}},
        {"bad rows skipped",
         header + "\r\n1,1,1,0,0,0,0,1,0,0,0\r\n1,,1,0,0,0,0,1,0,0,1\r\nx,1,1,0,0,0,0,1,0,0,2"
                  "\r\nnan,1,1,0,0,0,0,1,0,0,3\r\n1,1,1,0,0,0,0,1,0,0\r\n1,1,1,0,0,0,0,1,0,0,5,6"
                  "\r\n1,1,1,0,0,0,0,1,0,0,7",
         "打开文件成功。",
         {0, 7}},
        {"time going back is dropped",
         header + "\n1,1,1,0,0,0,0,1,0,0,10\n1,1,1,0,0,0,0,1,0,0,5\n1,1,1,0,0,0,0,1,0,0,10",
         "打开文件成功。",
         {10, 10}},
        {"truncated last line",
         header + "\r\n1,1,1,0,0,0,0,1,0,0,0\r\n1,1,1,0,0,0,0,1,0",
         "打开文件成功。",
         {0}},
        {"7 columns, fractional time truncated", "a,b,c,d,e,f,g\r\n5,1,5,5,0,0,12.9", "打开文件成功。", {12}},
    };
    for (const auto& c : cases) {
        QTemporaryDir tmp;
        ASSERT_TRUE(kvqtest::writeAll(tmp.path() + "/f.csv", c.content));
        WaveformData store;
        Worker w;
        EXPECT_EQ(w.run(false, tmp.path() + "/f.csv", &store, 0), QString::fromUtf8(c.log)) << c.name;
        EXPECT_EQ(std::vector<qint64>(store.times(), store.times() + store.count()), c.times) << c.name;
    }
    WaveformData store;
    Worker w;
    EXPECT_EQ(w.run(false, "/nonexistent/f.csv", &store, 0),
              QStringLiteral("打开文件失败：/nonexistent/f.csv"));
}

TEST(WaveformFiles, BadSqliteInput)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(kvqtest::writeAll(tmp.path() + "/text.sqlite3", "this is not a database at all"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "fixture");
        db.setDatabaseName(tmp.path() + "/other.sqlite3");
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("CREATE TABLE other (x REAL)");
        db.setDatabaseName(tmp.path() + "/narrow.sqlite3");
        db.close();
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("CREATE TABLE data (voltage REAL, time INTEGER)");
        db.close();
    }
    QSqlDatabase::removeDatabase("fixture");
    for (const char* file : {"text.sqlite3", "other.sqlite3", "narrow.sqlite3", "missing.sqlite3"}) {
        WaveformData store;
        Worker w;
        const QString path = tmp.path() + "/" + file;
        EXPECT_EQ(w.run(false, path, &store, 1), QStringLiteral("打开文件失败：") + path) << file;
        EXPECT_EQ(store.count(), 0) << file;
    }
    EXPECT_FALSE(QFile::exists(tmp.path() + "/missing.sqlite3")); // reading never creates a file
}

TEST(WaveformFiles, SavingToAnExistingDatabaseAppends)
{
    QTemporaryDir tmp;
    auto store = liveStore(10);
    Worker w;
    const QString path = tmp.path() + "/twice.sqlite3";
    w.run(true, path, store.get(), 1);
    w.run(true, path, store.get(), 1);
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "count");
    db.setDatabaseName(path);
    ASSERT_TRUE(db.open());
    QSqlQuery q(db);
    ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM data") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 20);
    q.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("count");
}

TEST(WaveformFiles, StoppedSaveLeavesALoadablePrefix)
{
    QTemporaryDir tmp;
    auto store = liveStore(400000);
    for (qint8 type : {qint8(0), qint8(1)}) {
        Worker w;
        const QString path = tmp.path() + (type ? "/stop.sqlite3" : "/stop.csv");
        QObject::connect(
            &w.work, &ThreadWork::sendThreadProgress, &w.work,
            [&w](double p) {
                if (p >= 0.05)
                    w.work.stop();
            },
            Qt::DirectConnection);
        EXPECT_EQ(w.run(true, path, store.get(), type), QStringLiteral("保存波形文件：停止保存。"));
        WaveformData loaded;
        Worker r;
        EXPECT_EQ(r.run(false, path, &loaded, type), QStringLiteral("打开文件成功。"));
        EXPECT_GT(loaded.count(), 0);
        EXPECT_LT(loaded.count(), 400000 / 10);
        EXPECT_EQ(loaded.times()[loaded.count() - 1], loaded.count() - 1); // a prefix, row for row
    }
}

TEST(AutoSave, RecordsEverySampleInBothLayouts)
{
    for (int type : {0, 1}) {
        QTemporaryDir tmp;
        auto store = std::make_unique<WaveformData>(type);
        store->setRate(1000);
        store->setLastTime(-1);
        QSignalSpy log(store.get(), &WaveformData::sendSegmentLog);
        ASSERT_TRUE(openAutoSaveFile(*store, tmp.path() + "/auto/./x/..", "2026-12-10 10-00-00", true));
        const QString file = tmp.path() + "/auto/2026-12-10 10-00-00" + (type ? ".sqlite3" : ".csv");
        EXPECT_EQ(log.last().at(0).toString(),
                  QStringLiteral("自动保存文件：2026-12-10 10-00-00") + (type ? ".sqlite3" : ".csv"));
        for (int i = 0; i < 5000; ++i) {
            store->appendSample(5.0f + float(i % 3), 1.0f, 0, 0, 0, 0);
            if (i % 700 == 0)
                store->flushAutoSave(); // batches, as the refresh timer makes them
        }
        store->clearData(); // flushes, and the recording continues with later times
        for (int i = 0; i < 10; ++i)
            store->appendSample(7.0f, 1.0f, 0, 0, 0, 0);
        closeAutoSaveFile(*store);
        EXPECT_EQ(log.last().at(0).toString(), QStringLiteral("自动保存文件完成。"));

        WaveformData loaded;
        Worker w;
        EXPECT_EQ(w.run(false, file, &loaded, qint8(type)), QStringLiteral("打开文件成功。"));
        ASSERT_EQ(loaded.count(), 5010) << type;
        for (qint64 i = 0; i < 5000; ++i) {
            ASSERT_EQ(loaded.times()[i], i);
            ASSERT_EQ(loaded.values(Voltage)[i], 5.0f + float(i % 3));
        }
        EXPECT_EQ(loaded.times()[5000], 4999 + 1); // after the clear: offset by the last time
        EXPECT_EQ(loaded.times()[5009], 4999 + 10);
    }
}

TEST(AutoSave, RefusedForOfflineRecordsAndUnusableFolders)
{
    auto offline = liveStore(0, true);
    EXPECT_FALSE(openAutoSaveFile(*offline, QDir::tempPath(), "x", true));
    auto live = liveStore(0);
    EXPECT_FALSE(openAutoSaveFile(*live, "/dev/null/auto", "x", true));
    EXPECT_FALSE(openAutoSaveFile(*live, "", "x", true));
    EXPECT_TRUE(openAutoSaveFile(*live, "/dev/null/auto", "x", false)); // off: nothing to create
}

TEST(AutoSave, RollingModeWritesEverySampleOnce)
{
    QTemporaryDir tmp;
    auto store = liveStore(0);
    ASSERT_TRUE(openAutoSaveFile(*store, tmp.path(), "roll", true));
    kvq::platform::setAvailableMemoryOverride(100LL << 20);
    for (int i = 0; i < 6000; ++i) {
        store->appendSample(5.0f, 1.0f, 0, 0, 0, 0);
        if (i % 1000 == 999)
            store->flushAutoSave();
    }
    kvq::platform::setAvailableMemoryOverride(-1);
    EXPECT_TRUE(store->isRolling());
    EXPECT_LT(store->count(), 6000);
    closeAutoSaveFile(*store);
    WaveformData loaded;
    Worker w;
    w.run(false, tmp.path() + "/roll.csv", &loaded, 0);
    ASSERT_EQ(loaded.count(), 6000);
    for (qint64 i = 0; i < 6000; ++i)
        ASSERT_EQ(loaded.times()[i], i);
}

// A full disk (here: a file size limit) stops the recording with one message;
// acquisition goes on, the file ends at its last complete row or commit, and
// nothing claims the recording was completed.
TEST(AutoSave, WriteFailureStopsTheRecordingOnce)
{
    for (int type : {0, 1}) {
        SCOPED_TRACE(type);
        QTemporaryDir tmp;
        auto store = std::make_unique<WaveformData>(type);
        store->setRate(1000);
        store->setLastTime(-1);
        QSignalSpy log(store.get(), &WaveformData::sendSegmentLog);
        QSignalSpy failed(store.get(), &WaveformData::autoSaveFailed);
        ASSERT_TRUE(openAutoSaveFile(*store, tmp.path(), "full", true));
        for (int i = 0; i < 1000; ++i)
            store->appendSample(5.0f, 1.0f, 0, 0, 0, 0);
        store->flushAutoSave();
        const QString path = tmp.path() + (type ? "/full.sqlite3" : "/full.csv");
        const qint64 good = QFileInfo(path).size();
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = rlim_t(good + 100);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 1000; ++i)
                store->appendSample(5.0f, 1.0f, 0, 0, 0, 0);
            store->flushAutoSave();
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        int errors = 0;
        for (const auto& entry : log)
            errors += entry.at(1).toInt() == 0;
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(failed.count(), 1);
        EXPECT_EQ(store->count(), 4000);       // acquisition went on
        EXPECT_TRUE(store->csvPath.isEmpty()); // the file no longer stands in for the store
        const AutoSaveEnd end = closeAutoSaveFile(*store);
        EXPECT_TRUE(end.failed);
        EXPECT_EQ(end.rowsInFile, 1000);
        EXPECT_NE(log.last().at(0).toString(), QStringLiteral("自动保存文件完成。"));
        if (type == 0) {
            EXPECT_EQ(QFileInfo(path).size(), good); // cut back to the last complete row
        }
        WaveformData loaded;
        Worker w;
        EXPECT_EQ(w.run(false, path, &loaded, qint8(type)), QStringLiteral("打开文件成功。"));
        ASSERT_EQ(loaded.count(), end.rowsInFile);
        for (qint64 i = 0; i < loaded.count(); ++i)
            ASSERT_EQ(loaded.times()[i], i);
    }
}

// A store's first recording holds it from its first sample; auto-save turned
// off and on again starts the new file with the samples after it, in both layouts.
TEST(AutoSave, ReopenedRecordingStartsWithNewSamples)
{
    for (int type : {0, 1}) {
        SCOPED_TRACE(type);
        QTemporaryDir tmp;
        auto store = std::make_unique<WaveformData>(type);
        store->setRate(1000);
        store->setLastTime(-1);
        for (int i = 0; i < 50; ++i) // before the first recording: it holds them too
            store->appendSample(4.0f, 1.0f, 0, 0, 0, 0);
        ASSERT_TRUE(openAutoSaveFile(*store, tmp.path(), "first", true));
        for (int i = 0; i < 950; ++i)
            store->appendSample(5.0f, 1.0f, 0, 0, 0, 0);
        EXPECT_EQ(closeAutoSaveFile(*store).rowsInFile, 1000);
        for (int i = 0; i < 500; ++i) // while auto-save is off
            store->appendSample(6.0f, 1.0f, 0, 0, 0, 0);
        ASSERT_TRUE(openAutoSaveFile(*store, tmp.path(), "second", true));
        EXPECT_TRUE(type != 0 || store->csvPath.isEmpty()); // not a copy of the whole store
        for (int i = 0; i < 200; ++i)
            store->appendSample(7.0f, 1.0f, 0, 0, 0, 0);
        EXPECT_EQ(closeAutoSaveFile(*store).rowsInFile, 200);
        WaveformData loaded;
        Worker w;
        w.run(false, tmp.path() + (type ? "/second.sqlite3" : "/second.csv"), &loaded, qint8(type));
        ASSERT_EQ(loaded.count(), 200);
        EXPECT_EQ(loaded.times()[0], 1500);
        EXPECT_EQ(loaded.values(Voltage)[0], 7.0f);
    }
}

// Every SQLite save and recording gives its file back.
TEST(WaveformFiles, SqliteSavesReleaseTheirFiles)
{
    const auto openFiles = [] { return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size(); };
    QTemporaryDir tmp;
    auto store = liveStore(20);
    Worker w;
    w.run(true, tmp.path() + "/warm.sqlite3", store.get(), 1);
    const int before = openFiles();
    for (int i = 0; i < 300; ++i)
        w.run(true, tmp.path() + QStringLiteral("/s%1.sqlite3").arg(i % 3), store.get(), 1);
    for (int i = 0; i < 30; ++i) {
        auto rec = std::make_unique<WaveformData>(1);
        ASSERT_TRUE(openAutoSaveFile(*rec, tmp.path(), QStringLiteral("a%1").arg(i), true));
        closeAutoSaveFile(*rec);
    }
    EXPECT_LE(openFiles(), before + 2);
}
