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
// reader is never held up by the disk. `write` gets each row; the count of
// samples written goes into savedRows.
template <typename Write> void forEachNewRow(WaveformData& store, Write write)
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
    for (qint64 i = first; i < last; ++i) {
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
        write(values, time);
    }
    std::unique_lock<std::shared_mutex> lock(store.lock());
    store.savedRows = last;
}

class CsvRecording final : public waveform::AutoSaveSink {
public:
    explicit CsvRecording(const QString& path) : m_file(path) {}
    bool open(bool offline)
    {
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        m_file.write(csvHeader(offline, "WaveformData"));
        return m_file.flush();
    }
    void flush(WaveformData& store) override
    {
        if (!m_file.isOpen())
            return;
        QByteArray batch;
        const bool offline = store.isOffline();
        forEachNewRow(store, [&](const float(&values)[10], qint64 time) {
            appendCsvRow(batch, values, time, offline);
        });
        if (batch.isEmpty())
            return;
        // Handed to the kernel at every batch: a killed program loses nothing written.
        if (m_file.write(batch) != batch.size() || !m_file.flush()) {
            m_file.close();
            emit store.sendSegmentLog(
                QCoreApplication::translate("WaveformData", "自动保存写入文件失败，自动保存已停止。"), 0);
        }
    }
    void close(WaveformData& store) override
    {
        flush(store);
        if (!m_file.isOpen())
            return;
        m_file.flush();
        m_file.close();
        emit store.sendSegmentLog(QCoreApplication::translate("WaveformData", "自动保存文件完成。"), 1);
    }

private:
    QFile m_file;
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
        RowInserter table(nativeHandle(db));
        if (!table.exec(kCreateTable)) {
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
        RowInserter rows(nativeHandle(db));
        if (!rows.isValid())
            return;
        const bool offline = store.isOffline();
        rows.exec("BEGIN");
        forEachNewRow(store,
                      [&](const float(&values)[10], qint64 time) { rows.insert(values, time, offline); });
        if (!rows.exec("COMMIT")) {
            rows.exec("ROLLBACK");
            close(store);
            emit store.sendSegmentLog(
                QCoreApplication::translate("WaveformData", "自动保存写入文件失败，自动保存已停止。"), 0);
        }
    }
    void close(WaveformData& store) override
    {
        if (!m_open)
            return;
        flush(store);
        m_open = false;
        QSqlDatabase::database(QLatin1String(kConnection), false).close();
        emit store.sendSegmentLog(QCoreApplication::translate("WaveformData", "自动保存文件完成。"), 1);
    }

private:
    bool m_open = false;
};

} // namespace

void closeAutoSaveFile(WaveformData& store)
{
    store.setAutoSave(nullptr);
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
        store.savedRows = 0;
        store.setAutoSave(std::move(recording));
    } else {
        file += QStringLiteral(".csv");
        auto recording = std::make_unique<CsvRecording>(clean + QLatin1Char('/') + file);
        if (!recording->open(store.isOffline()))
            return false;
        store.csvPath = clean + QLatin1Char('/') + file;
        store.savedRows = 0;
        store.setAutoSave(std::move(recording));
    }
    emit store.sendSegmentLog(QCoreApplication::translate("WaveformData", "自动保存文件：") + file, 1);
    return true;
}

} // namespace kvq::files
