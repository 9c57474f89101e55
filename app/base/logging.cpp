#include "app/base/logging.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <atomic>
#include <exception>
#include <mutex>

namespace kvq {
namespace {

struct LoggerState {
    std::atomic<bool> enabled{false};
    QString folder;
    QFile file;
    QTextStream stream;
    std::mutex lock; // std::mutex rather than QMutex: ThreadSanitizer sees through it
    int pending = 0;
};

LoggerState& logger()
{
    static LoggerState state;
    return state;
}

} // namespace

void startLog(const QString& folder)
{
    LoggerState& log = logger();
    std::lock_guard<std::mutex> locker(log.lock);
    log.enabled = false;
    log.folder = folder;
    try {
        QDir().mkpath(folder);
        const QString name = folder + QLatin1Char('/') +
                             QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh-mm-ss")) +
                             QStringLiteral(".log");
        if (log.file.isOpen())
            log.file.close();
        log.file.setFileName(name);
        if (!log.file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            return;
        log.stream.setDevice(&log.file);
        log.pending = 0;
        log.enabled = true;
    } catch (const std::exception& e) {
        qDebug().noquote() << "初始化日志失败:" << e.what();
    }
}

void writeLog(const QString& message, bool flush)
{
    LoggerState& log = logger();
    if (!log.enabled)
        return;
    qDebug().noquote() << "log:" << message;
    std::lock_guard<std::mutex> locker(log.lock);
    if (!log.enabled)
        return;
    log.stream << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh-mm-ss.zzz"))
               << QLatin1String(": ") << message << '\n';
    ++log.pending;
    if (log.pending > 5 || flush) {
        log.pending = 0;
        log.stream.flush();
        log.file.flush();
        // Gives a crashing or killed process's last lines a chance to reach the disk
        // before a burst of further lines; keeps the lock so that lines stay ordered.
        QThread::msleep(5);
    }
}

void closeLog()
{
    LoggerState& log = logger();
    std::lock_guard<std::mutex> locker(log.lock);
    if (!log.enabled)
        return;
    log.stream.flush();
    log.file.flush();
    log.stream.setDevice(nullptr);
    log.file.close();
    log.enabled = false;
}

QString currentLogFile()
{
    LoggerState& log = logger();
    std::lock_guard<std::mutex> locker(log.lock);
    return log.enabled ? log.file.fileName() : QString();
}

} // namespace kvq
