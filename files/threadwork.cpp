#include "files/threadwork.h"

#include "files/waveformfile.h"
#include "waveform/waveformdata.h"

#include <QFile>
#include <QSqlDatabase>
#include <QThread>

#include <cstring>
#include <shared_mutex>
#include <sqlite3.h>

using kvq::waveform::ChannelCount;
using kvq::waveform::WaveformData;
using namespace kvq::files;

ThreadWork::ThreadWork() : m_thread(new QThread)
{
    qRegisterMetaType<kvq::waveform::StoreHold>("kvq::waveform::StoreHold");
    m_thread->setObjectName(QStringLiteral("ThreadWork"));
    m_thread->start();
    moveToThread(m_thread);
}

ThreadWork::~ThreadWork()
{
    m_running = false;
    m_thread->quit();
    m_thread->wait(15000);
    delete m_thread;
}

void ThreadWork::progress(qint64 done, qint64 total, int* last)
{
    const int p = total > 0 ? int(done * 100 / total) : 0;
    if (p != *last) {
        *last = p;
        emit sendThreadProgress(p / 100.0);
    }
}

bool ThreadWork::stopAt(qint64 row, qint64 total, int* last, const WaveformData& store)
{
    // Every 100 rows: progress, and the stop of the user or of a retiring store.
    if (row % 100 != 0)
        return false;
    progress(row, total, last);
    return store.closing.load() || !m_running;
}

namespace {

QSqlDatabase connection(const QString& name, const QString& path)
{
    QSqlDatabase db;
    if (QSqlDatabase::contains(name))
        db = QSqlDatabase::database(name, false);
    // A connection serves only the thread that made it: one left by an earlier
    // worker is replaced.
    if (!db.isValid()) {
        if (QSqlDatabase::contains(name))
            QSqlDatabase::removeDatabase(name);
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    }
    db.close();
    db.setDatabaseName(path);
    return db;
}

} // namespace

void ThreadWork::saveWaveFormFile(QString path, kvq::waveform::StoreHold store, qint8 type)
{
    emit sendThreadProgress(0);
    emit sendThreadProgressType(0);
    if (!store) {
        emit sendThreadProgressType(-1);
        return;
    }
    std::shared_lock<std::shared_mutex> lock(store->lock());
    m_running = true;
    const bool saved = type == 1 ? saveSqlite(path, *store) : saveCsv(path, *store);
    if (saved) {
        if (m_running)
            emit sendSegmentLog(tr("保存波形文件：保存完成。"), 1);
        else
            emit sendSegmentLog(tr("保存波形文件：停止保存。"), 0);
    }
    emit sendThreadProgressType(-1);
}

bool ThreadWork::saveCsv(const QString& path, WaveformData& store)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit sendSegmentLog(tr("保存波形文件：无法打开文件"), 0);
        return false;
    }
    const bool offline = store.isOffline();
    QByteArray chunk = csvHeader(offline, "ThreadWork");
    bool ok = true;
    const qint64 n = store.channelCount(kvq::waveform::Voltage);
    chunk.reserve(1 << 20);
    int last = -1;
    float values[10];
    for (qint64 i = 0; i < n && ok; ++i) {
        store.row(i, values);
        appendCsvRow(chunk, values, store.times()[i], offline);
        // Rows leave in 1 MiB writes: the bytes are the same as one write per row.
        if (chunk.size() > (1 << 20) - 256) {
            ok = file.write(chunk) == chunk.size();
            chunk.clear();
        }
        if (stopAt(i, n, &last, store))
            break;
    }
    ok = ok && file.write(chunk) == chunk.size() && file.flush();
    file.close();
    if (!ok)
        emit sendSegmentLog(tr("保存波形文件：写入文件失败"), 0);
    return ok;
}

bool ThreadWork::saveSqlite(const QString& path, WaveformData& store)
{
    QSqlDatabase db = connection(QStringLiteral("saveConnection"), path);
    if (!db.open()) {
        emit sendSegmentLog(tr("保存波形文件：无法打开文件"), 0);
        return false;
    }
    bool created = false, ok = true;
    // The statements are finalised before the connection closes: sqlite3 would
    // otherwise keep the handle and its file open.
    {
        RowInserter table(nativeHandle(db));
        created = table.exec(kCreateTable);
        RowInserter rows(created ? nativeHandle(db) : nullptr); // prepared once the table exists
        created = created && rows.isValid();
        const bool offline = store.isOffline();
        const qint64 n = created ? store.count() : 0;
        int last = -1;
        float values[10];
        ok = !created || rows.exec("BEGIN");
        for (qint64 i = 0; i < n && ok; ++i) {
            store.row(i, values);
            ok = rows.insert(values, store.times()[i], offline);
            if (ok && i % 10000 == 0)
                ok = rows.exec("COMMIT") && rows.exec("BEGIN");
            if (stopAt(i, n, &last, store))
                break;
        }
        if (created)
            ok = ok ? rows.exec("COMMIT") : (rows.exec("ROLLBACK"), false);
    }
    db.close();
    if (!created) {
        emit sendSegmentLog(tr("保存波形文件：创建表失败"), 0);
        return false;
    }
    if (!ok)
        emit sendSegmentLog(tr("保存波形文件：写入文件失败"), 0);
    return ok;
}

void ThreadWork::readWaveFormFile(QString path, kvq::waveform::StoreHold store, qint8 type)
{
    emit sendThreadProgress(0);
    emit sendThreadProgressType(1);
    if (!store) {
        emit sendThreadProgressType(-1);
        return;
    }
    m_running = true;
    const bool ok = type == 1 ? readSqlite(path, *store) : readCsv(path, *store);
    if (ok) {
        if (m_running)
            emit sendSegmentLog(tr("打开文件成功。"), 1);
        else
            emit sendSegmentLog(tr("停止打开文件。"), 0);
    }
    emit sendThreadProgressType(-1);
}

bool ThreadWork::readCsv(const QString& path, WaveformData& store)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit sendSegmentLog(tr("打开文件失败：") + path, 0);
        return false;
    }
    const qint64 size = file.size();
    // Read in 4 MiB blocks; a line cut by a block boundary is carried over.
    constexpr qint64 kBlock = 4 << 20;
    QByteArray buffer;
    bool atEnd = false;
    const auto fill = [&](qint64 keepFrom) {
        buffer.remove(0, int(keepFrom));
        const QByteArray more = file.read(kBlock);
        atEnd = more.isEmpty();
        buffer.append(more);
    };
    fill(0);
    qint64 pos = 0;
    // Next line [pos, content) with its end; false at the end of the file.
    const auto nextLine = [&](qint64* contentEnd, qint64* next) {
        for (;;) {
            const char* base = buffer.constData();
            const char* nl =
                static_cast<const char*>(std::memchr(base + pos, '\n', size_t(buffer.size() - pos)));
            if (nl || atEnd) {
                if (pos >= buffer.size())
                    return false;
                const qint64 stop = nl ? nl - base : buffer.size();
                *contentEnd = stop > pos && base[stop - 1] == '\r' ? stop - 1 : stop;
                *next = nl ? stop + 1 : stop;
                return true;
            }
            fill(pos);
            pos = 0;
        }
    };
    qint64 contentEnd = 0, next = 0;
    const bool hasHeader = nextLine(&contentEnd, &next);
    const int columns = hasHeader ? csvColumns(buffer.mid(int(pos), int(contentEnd - pos))) : 0;
    if (columns != 7 && columns != 11) {
        emit sendSegmentLog(tr("文件数据异常，无法识别。"), 0);
        return false;
    }
    pos = next;
    qint64 consumed = 0;
    int last = -1;
    CsvRow row;
    while (nextLine(&contentEnd, &next)) {
        const char* base = buffer.constData();
        if (parseCsvRow(base + pos, base + contentEnd, columns, &row)) {
            const double* v = row.values;
            store.appendStoredSample(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], row.time);
            consumed += contentEnd - pos;
            const int before = last;
            progress(consumed, size, &last);
            if (last != before)
                store.requestRefresh();
            if (store.closing.load() || !m_running)
                break;
        }
        pos = next;
    }
    store.rebuildSummaries();
    store.requestRefresh();
    return true;
}

bool ThreadWork::readSqlite(const QString& path, WaveformData& store)
{
    const QString failure = tr("打开文件失败：") + path;
    QSqlDatabase db = connection(QStringLiteral("readConnection"), path);
    // Open read-only: a missing or foreign file must not be created or altered.
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    sqlite3* handle = db.open() ? nativeHandle(db) : nullptr;
    sqlite3_stmt* count = nullptr;
    sqlite3_stmt* rows = nullptr;
    const bool ok =
        handle && sqlite3_prepare_v2(handle, "SELECT COUNT(*) FROM data", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(handle, "SELECT * FROM data", -1, &rows, nullptr) == SQLITE_OK &&
        sqlite3_column_count(rows) == 11;
    if (!ok) {
        sqlite3_finalize(count);
        sqlite3_finalize(rows);
        db.close();
        emit sendSegmentLog(failure, 0);
        return false;
    }
    const qint64 total = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : 0;
    sqlite3_finalize(count);
    int last = -1;
    for (qint64 k = 0; sqlite3_step(rows) == SQLITE_ROW; ++k) {
        double v[10];
        for (int c = 0; c < 10; ++c)
            v[c] = sqlite3_column_double(rows, c);
        store.appendStoredSample(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9],
                                 sqlite3_column_int64(rows, 10));
        progress(k, total, &last);
        if (store.closing.load() || !m_running)
            break;
    }
    sqlite3_finalize(rows);
    store.rebuildSummaries();
    db.close();
    return true;
}
