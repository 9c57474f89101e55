// Waveform files: save and load of a 10-million-row recording against a
// straightforward QTextStream reader/writer and raw sqlite3 statements, all in
// the same run; and how long a stop takes to end a running save.
#include "files/threadwork.h"
#include "files/waveformfile.h"
#include "waveform/waveformdata.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTextStream>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <sqlite3.h>
#include <thread>

using namespace kvq::waveform;

namespace {

int64_t g_rows = 10000000;

QTemporaryDir& dir()
{
    static QTemporaryDir d;
    return d;
}

WaveformData& recording()
{
    static std::unique_ptr<WaveformData> store = [] {
        auto s = std::make_unique<WaveformData>();
        s->setRate(1000);
        s->setLastTime(-1);
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
        for (int64_t i = 0; i < g_rows; ++i)
            s->appendSample(5.0f + noise(rng), 1.2f + noise(rng), 0.6f, 0.6f, 1.68f, 0.0f);
        return s;
    }();
    return *store;
}

void rowsPerSecond(benchmark::State& state, int64_t rows)
{
    state.counters["rows_per_s"] =
        benchmark::Counter(double(rows) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_SaveCsv(benchmark::State& state)
{
    WaveformData& s = recording();
    ThreadWork worker;
    for (auto _ : state)
        worker.saveWaveFormFile(dir().path() + "/ours.csv", s.hold(), 0);
    rowsPerSecond(state, s.count());
}
BENCHMARK(BM_SaveCsv)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SaveCsvQTextStream(benchmark::State& state)
{
    WaveformData& s = recording();
    for (auto _ : state) {
        QFile file(dir().path() + "/qts.csv");
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        QTextStream out(&file);
        out.setCodec("GB2312");
        out << QStringLiteral(
            "电压(V),电流(A),功率(W),D+(V),D-(V),C1(V),C2(V),电阻(R),能量(Wh),容量(Ah),时间(ms)");
        for (qint64 i = 0; i < s.count(); ++i) {
            out << "\r\n";
            for (int c = 0; c < ChannelCount; ++c)
                out << QString::number(double(s.values(c)[i]), 'g', 6) << ',';
            out << s.times()[i];
        }
    }
    rowsPerSecond(state, s.count());
}
BENCHMARK(BM_SaveCsvQTextStream)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadCsv(benchmark::State& state)
{
    qint64 rows = 0;
    for (auto _ : state) {
        WaveformData loaded;
        ThreadWork worker;
        worker.readWaveFormFile(dir().path() + "/ours.csv", loaded.hold(), 0);
        rows = loaded.count();
    }
    rowsPerSecond(state, rows);
}
BENCHMARK(BM_LoadCsv)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadCsvQTextStream(benchmark::State& state)
{
    qint64 rows = 0;
    for (auto _ : state) {
        WaveformData loaded;
        QFile file(dir().path() + "/ours.csv");
        file.open(QIODevice::ReadOnly | QIODevice::Text);
        QTextStream in(&file);
        in.setCodec("GB2312");
        in.readLine();
        while (!in.atEnd()) {
            const QStringList f = in.readLine().split(',');
            if (f.size() != 11)
                continue;
            double v[10];
            for (int c = 0; c < 10; ++c)
                v[c] = double(f[c].toFloat());
            loaded.appendStoredSample(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9],
                                      f[10].toLongLong());
        }
        loaded.rebuildSummaries();
        rows = loaded.count();
    }
    rowsPerSecond(state, rows);
}
BENCHMARK(BM_LoadCsvQTextStream)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SaveSqlite(benchmark::State& state)
{
    WaveformData& s = recording();
    ThreadWork worker;
    for (auto _ : state) {
        QFile::remove(dir().path() + "/ours.sqlite3");
        worker.saveWaveFormFile(dir().path() + "/ours.sqlite3", s.hold(), 1);
    }
    rowsPerSecond(state, s.count());
}
BENCHMARK(BM_SaveSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SaveSqliteRaw(benchmark::State& state)
{
    WaveformData& s = recording();
    for (auto _ : state) {
        const QByteArray path = QFile::encodeName(dir().path() + "/raw.sqlite3");
        QFile::remove(QString::fromLocal8Bit(path));
        sqlite3* db = nullptr;
        sqlite3_open(path.constData(), &db);
        sqlite3_exec(db, kvq::files::kCreateTable, nullptr, nullptr, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, kvq::files::kInsertRow, -1, &st, nullptr);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (qint64 i = 0; i < s.count(); ++i) {
            for (int c = 0; c < 10; ++c)
                sqlite3_bind_double(st, c + 1, double(s.values(c)[i]));
            sqlite3_bind_int64(st, 11, s.times()[i]);
            sqlite3_step(st);
            sqlite3_reset(st);
            if (i % 10000 == 0) {
                sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
                sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            }
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
    rowsPerSecond(state, s.count());
}
BENCHMARK(BM_SaveSqliteRaw)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadSqlite(benchmark::State& state)
{
    qint64 rows = 0;
    for (auto _ : state) {
        WaveformData loaded;
        ThreadWork worker;
        worker.readWaveFormFile(dir().path() + "/ours.sqlite3", loaded.hold(), 1);
        rows = loaded.count();
    }
    rowsPerSecond(state, rows);
}
BENCHMARK(BM_LoadSqlite)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadSqliteRaw(benchmark::State& state)
{
    qint64 rows = 0;
    for (auto _ : state) {
        WaveformData loaded;
        sqlite3* db = nullptr;
        sqlite3_open_v2(QFile::encodeName(dir().path() + "/ours.sqlite3").constData(), &db,
                        SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT * FROM data", -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) {
            double v[10];
            for (int c = 0; c < 10; ++c)
                v[c] = sqlite3_column_double(st, c);
            loaded.appendStoredSample(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9],
                                      sqlite3_column_int64(st, 10));
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        loaded.rebuildSummaries();
        rows = loaded.count();
    }
    rowsPerSecond(state, rows);
}
BENCHMARK(BM_LoadSqliteRaw)->Unit(benchmark::kMillisecond)->Iterations(1);

// From stop() to the end of a running CSV save.
void BM_StopLatency(benchmark::State& state)
{
    WaveformData& s = recording();
    for (auto _ : state) {
        ThreadWork worker;
        QElapsedTimer stopped;
        qint64 latency = -1;
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stopped.start();
            worker.stop();
        });
        worker.saveWaveFormFile(dir().path() + "/stop.csv", s.hold(), 0);
        latency = stopped.isValid() ? stopped.nsecsElapsed() / 1000 : -1;
        stopper.join();
        state.counters["stop_latency_us"] = double(latency);
    }
}
BENCHMARK(BM_StopLatency)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
