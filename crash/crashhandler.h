#pragma once

#include <QObject>
#include <QString>

// Writes a dump file into the crash folder when the process dies of SIGSEGV,
// SIGBUS, SIGFPE, SIGILL or SIGABRT, then lets the signal take its normal
// course. Named after the minidump handler it stands in for on this platform;
// the dumps are plain text (signal, fault address, thread, backtrace, memory
// map, program version, time), written with async-signal-safe calls only.
class QBreakpadHandler : public QObject {
    Q_OBJECT

public:
    // The one handler of the process; safe to call from several threads at once.
    static QBreakpadHandler* instance();

    // Creates `folder` (relative: below the application folder) and installs
    // the handler writing into it; prints a message and installs nothing when
    // the folder cannot be made.
    void setDumpPath(const QString& folder);
    QString dumpPath() const { return m_dumpPath; }
    bool isInstalled() const { return m_installed; }

    // Called after a dump attempt; prints the outcome and returns `succeeded`.
    static bool dumpCallback(const char* folder, const char* dumpId, bool succeeded);

private:
    QBreakpadHandler() = default;

    QString m_dumpPath;
    QString m_uploadUrl; // dumps stay on disk; nothing is ever uploaded
    bool m_installed = false;
};
