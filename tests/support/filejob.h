#pragma once

// Runs one job of the file worker from a test and waits for its end. The
// worker's signals reach the test through queued connections, so that nothing
// is recorded on the worker's thread while the test reads it.

#include "files/threadwork.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QObject>
#include <QString>

namespace kvqtest {

struct FileJob {
    QString log;      // the job's one log line
    int state = -1;   // its state: 1 success, 0 failure
    int progress = 0; // progress signals sent
    double lastProgress = -1;
};

inline FileJob runFileJob(ThreadWork& worker, bool save, const QString& path,
                          kvq::waveform::WaveformData* store, qint8 type)
{
    FileJob job;
    bool ended = false;
    int started = 0;
    QObject sink;
    QObject::connect(&worker, &ThreadWork::sendSegmentLog, &sink, [&](QString log, int state) {
        job.log = log;
        job.state = state;
    });
    QObject::connect(&worker, &ThreadWork::sendThreadProgress, &sink, [&](double p) {
        ++job.progress;
        job.lastProgress = p;
    });
    QObject::connect(&worker, &ThreadWork::sendThreadProgressType, &sink, [&](int type) {
        if (type == -1)
            ended = true;
        else
            ++started;
    });
    QMetaObject::invokeMethod(&worker, save ? "saveWaveFormFile" : "readWaveFormFile", Qt::QueuedConnection,
                              Q_ARG(QString, path), Q_ARG(kvq::waveform::StoreHold, store->hold()),
                              Q_ARG(qint8, type));
    while (!ended)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents(); // the log line queued before the end
    return job;
}

} // namespace kvqtest
