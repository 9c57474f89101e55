#pragma once

// The file worker: saves a sample store to a CSV or SQLite waveform file and
// loads one back, on a thread of its own, with progress in whole percent and
// a stop that takes effect within 100 rows.

#include <QObject>
#include <QString>

#include <atomic>

class QThread;

#include "waveform/waveformdata.h"

class ThreadWork : public QObject {
    Q_OBJECT

public:
    ThreadWork();
    ~ThreadWork() override;

    // From any thread: ends the running job at its next check.
    void stop() { m_running = false; }

public slots:
    // The job holds its store until it ends; an empty hold (a store already
    // retiring) ends the job at once.
    void saveWaveFormFile(QString path, kvq::waveform::StoreHold store, qint8 type);
    void readWaveFormFile(QString path, kvq::waveform::StoreHold store, qint8 type);

signals:
    void sendSegmentLog(QString log, int state = 1);
    void sendThreadProgressType(int type);
    void sendThreadProgress(double progress);

private:
    bool saveCsv(const QString& path, kvq::waveform::WaveformData& store);
    bool saveSqlite(const QString& path, kvq::waveform::WaveformData& store);
    bool readCsv(const QString& path, kvq::waveform::WaveformData& store);
    bool readSqlite(const QString& path, kvq::waveform::WaveformData& store);
    void progress(qint64 done, qint64 total, int* last);
    bool stopAt(qint64 row, qint64 total, int* last, const kvq::waveform::WaveformData& store);

    QThread* m_thread;
    std::atomic<bool> m_running{false};
};
