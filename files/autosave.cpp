#include "files/autosave.h"

#include "files/waveformfile.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>

#include <mutex>
#include <shared_mutex>

namespace kvq::files {
namespace {

using waveform::WaveformData;

const char* const kConnection = "autoSaveConnection";

// Rows of the store not yet written, one read lock per row so that the report
// reader is never held up by the disk. `write` gets each row and says whether
// it went out; savedRows advances past the rows written only when `commit`
// says the batch reached the file. Returns the number of rows of the batch.
template <typename Write, typename Commit>
qint64 forEachNewRow(WaveformData& store, Write write, Commit commit)
{
    qint64 first = 0, last = 0, dropped = 0, offset = 0;
    {
        std::shared_lock<std::shared_mutex> lock(store.lock());
        dropped = store.droppedSamples();
        first = std::max(store.savedRows, dropped); // samples dropped unwritten cannot be recovered
        last = dropped + store.channelCount(waveform::Voltage);
        offset = store.timeOffset;
    }
    float values[10];
    qint64 rows = 0;
    bool ok = true;
    for (qint64 i = first; i < last && ok; ++i) {
        qint64 time = 0;
        {
            std::shared_lock<std::shared_mutex> lock(store.lock());
            // Rolling mode may have moved the arrays since the batch began.
            const qint64 at = i - store.droppedSamples();
            if (at < 0)
                continue;
            if (at >= store.channelCount(waveform::Voltage))
                break;
            store.row(at, values);
            time = store.times()[at] + offset;
        }
        ok = write(values, time);
        rows += ok ? 1 : 0;
    }
    if (!commit(ok, rows))
        return -1;
    std::unique_lock<std::shared_mutex> lock(store.lock());
    store.savedRows = last;
    return rows;
}

void reportWriteFailure(WaveformData& store)
{
    store.csvPath.clear(); // no longer a copy of the store
    emit store.sendSegmentLog(
        QCoreApplication::translate("WaveformData", "自动保存写入文件失败，自动保存已停止。"), 0);
    emit store.autoSaveFailed();
}

class CsvRecording final : public waveform::AutoSaveSink {
public:
    explicit CsvRecording(const QString& path) : m_file(path) {}
    bool open(bool offline)
    {
        // Unbuffered: every batch is one write whose failure is seen at once,
        // and nothing of a failed batch lingers in a buffer to go out later.
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return false;
        const QByteArray header = csvHeader(offline, "WaveformData");
        if (m_file.write(header) != header.size()) {
            m_file.close();
            return false;
        }
        m_goodSize = header.size();
        return true;
    }
    void flush(WaveformData& store) override
    {
        if (!m_file.isOpen())
            return;
        QByteArray batch;
        const bool offline = store.isOffline();
        forEachNewRow(
            store,
            [&](const float(&values)[10], qint64 time) {
                appendCsvRow(batch, values, time, offline);
                return true;
            },
            [&](bool, qint64 rows) {
                if (batch.isEmpty())
                    return true;
                if (m_file.write(batch) == batch.size()) {
                    m_goodSize += batch.size();
                    m_rowsInFile += rows;
                    return true;
                }
                // Full disk or size limit: the file ends at its last complete row.
                m_file.resize(m_goodSize);
                m_file.close();
                m_failed = true;
                return false;
            });
        if (m_failed)
            reportWriteFailure(store);
    }
    void close(WaveformData& store) override
    {
        flush(store);
        if (!m_file.isOpen())
            return;
        m_file.close();
        emit store.sendSegmentLog(QCoreApplication::translate("WaveformData", "自动保存文件完成。"), 1);
    }

private:
    QFile m_file;
    qint64 m_goodSize = 0;
};

class SqliteRecording final : public waveform::AutoSaveSink {
public:
    bool open(const QString& path)
    {
        QSqlDatabase db =
            QSqlDatabase::contains(QLatin1String(kConnection))
                ? QSqlDatabase::database(QLatin1String(kConnection), false)
                : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kConnection));
        db.close();
        db.setDatabaseName(path);
        if (!db.open())
            return false;
        bool created;
        {
            RowInserter table(nativeHandle(db)); // finalised before the connection closes
            created = table.exec(kCreateTable);
        }
        if (!created) {
            db.close();
            return false;
        }
        m_open = true;
        return true;
    }
    void flush(WaveformData& store) override
    {
        if (!m_open)
            return;
        QSqlDatabase db = QSqlDatabase::database(QLatin1String(kConnection), false);
        {
            RowInserter rows(nativeHandle(db));
            if (!rows.isValid())
                return;
            const bool offline = store.isOffline();
            rows.exec("BEGIN");
            forEachNewRow(
                store,
                [&](const float(&values)[10], qint64 time) { return rows.insert(values, time, offline); },
                [&](bool allWritten, qint64 count) {
                    if (allWritten && rows.exec("COMMIT")) {
                        m_rowsInFile += count;
                        return true;
                    }
                    // The file keeps its last committed transaction.
                    rows.exec("ROLLBACK");
                    m_failed = true;
                    return false;
                });
        }
        if (m_failed) {
            m_open = false;
            db.close();
            reportWriteFailure(store);
        }
    }
    void close(WaveformData& store) override
    {
        if (!m_open)
            return;
        flush(store);
        if (!m_open)
            return;
        m_open = false;
        QSqlDatabase::database(QLatin1String(kConnection), false).close();
        emit store.sendSegmentLog(QCoreApplication::translate("WaveformData", "自动保存文件完成。"), 1);
    }

private:
    bool m_open = false;
};

// The store's first recording holds it from its first row. One opened again
// (auto-save turned off and on) starts with the samples that arrive from now
// on: the earlier ones are in the earlier file, and writing them all again
// would be one long flush on the GUI thread.
void startFromNow(WaveformData& store)
{
    std::unique_lock<std::shared_mutex> lock(store.lock());
    store.savedRows = store.hadRecording ? store.droppedSamples() + store.channelCount(waveform::Voltage) : 0;
    store.hadRecording = true;
}

} // namespace

AutoSaveEnd closeAutoSaveFile(WaveformData& store)
{
    std::unique_ptr<waveform::AutoSaveSink> sink = store.takeAutoSave();
    if (!sink)
        return {};
    sink->close(store);
    return {true, sink->rowsInFile(), sink->failed()};
}

bool openAutoSaveFile(WaveformData& store, const QString& folder, const QString& name, bool enable)
{
    closeAutoSaveFile(store);
    store.timeOffset = 0;
    if (!enable)
        return true;
    const QString clean = QDir::cleanPath(folder);
    if (store.isOffline() || clean.isEmpty() || clean == QLatin1String(".") || !QDir().mkpath(clean))
        return false;
    QString file = name;
    if (store.autoSaveType() != 0) {
        file += QStringLiteral(".sqlite3");
        auto recording = std::make_unique<SqliteRecording>();
        if (!recording->open(clean + QLatin1Char('/') + file))
            return false;
        startFromNow(store);
        store.setAutoSave(std::move(recording));
    } else {
        file += QStringLiteral(".csv");
        auto recording = std::make_unique<CsvRecording>(clean + QLatin1Char('/') + file);
        if (!recording->open(store.isOffline()))
            return false;
        startFromNow(store);
        // Only a file that holds the store from its first row can stand in for it.
        store.csvPath = store.savedRows == 0 ? clean + QLatin1Char('/') + file : QString();
        store.setAutoSave(std::move(recording));
    }
    emit store.sendSegmentLog(QCoreApplication::translate("WaveformData", "自动保存文件：") + file, 1);
    return true;
}

} // namespace kvq::files
