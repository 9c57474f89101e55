#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>

#include <csignal>
#include <cstring>

namespace {

struct Outcome {
    QProcess::ExitStatus status;
    int code;
    QByteArray err;
};

Outcome crashChild(const QString& folder, const char* how)
{
    QProcess child;
    child.start(CRASH_CHILD, {folder, QString::fromLatin1(how)});
    child.waitForFinished(30000);
    return {child.exitStatus(), child.exitCode(), child.readAllStandardError()};
}

} // namespace

TEST(Crash, EachFatalSignalLeavesExactlyOneDump)
{
    const struct {
        const char* how;
        const char* signal;
    } cases[] = {
        {"segv", "SIGSEGV"}, {"abort", "SIGABRT"}, {"fpe", "SIGFPE"},
        {"ill", "SIGILL"},   {"bus", "SIGBUS"},    {"thread", "SIGSEGV"},
    };
    for (const auto& c : cases) {
        QTemporaryDir tmp;
        const QString folder = tmp.path() + "/data/crash";
        const Outcome outcome = crashChild(folder, c.how);
        // The process still dies of its signal: the handler does not swallow it.
        EXPECT_EQ(outcome.status, QProcess::CrashExit) << c.how;
        const QStringList dumps = QDir(folder).entryList(QDir::Files);
        ASSERT_EQ(dumps.size(), 1) << c.how << " " << outcome.err.toStdString();
        EXPECT_TRUE(dumps.first().endsWith(".dmp"));
        const QByteArray dump = kvqtest::readAll(folder + "/" + dumps.first());
        EXPECT_TRUE(dump.contains(QByteArray("Signal: ") + c.signal)) << c.how << "\n" << dump.toStdString();
        EXPECT_TRUE(dump.contains("Version: 1.0.1.6"));
        EXPECT_TRUE(dump.contains("\nBacktrace:\n"));
        EXPECT_TRUE(dump.contains("\nMemory map:\n"));
        EXPECT_TRUE(dump.contains("crash_child")); // in the backtrace and the map
        if (!std::strcmp(c.how, "segv")) {
            EXPECT_TRUE(dump.contains("Fault address: 0x0\n")); // the null pointer written through
        }
        const QByteArray expected = "Succeed to write minidump, dump path: " + folder.toUtf8() + "/" +
                                    dumps.first().chopped(4).toUtf8() + "\n";
        EXPECT_TRUE(outcome.err.contains(expected)) << outcome.err.toStdString();
    }
}

TEST(Crash, ThreadCrashNamesTheCrashingThread)
{
    QTemporaryDir tmp;
    crashChild(tmp.path(), "thread");
    const QStringList dumps = QDir(tmp.path()).entryList(QDir::Files);
    ASSERT_EQ(dumps.size(), 1);
    const QByteArray dump = kvqtest::readAll(tmp.path() + "/" + dumps.first());
    const int at = dump.indexOf("Thread: ");
    const int pidAt = dump.indexOf("Process: ");
    ASSERT_GE(at, 0);
    ASSERT_GE(pidAt, 0);
    const QByteArray tid = dump.mid(at + 8).split(' ').first();
    const QByteArray pid = dump.mid(pidAt + 9).split('\n').first();
    EXPECT_NE(tid, pid); // a worker thread, not the main one
}

TEST(Crash, FolderThatCannotBeMadeInstallsNothing)
{
    const Outcome outcome = crashChild("/dev/null/crash", "abort");
    EXPECT_EQ(outcome.status, QProcess::CrashExit);
    EXPECT_TRUE(outcome.err.contains("Failed to set dump path which not exists: /dev/null/crash"))
        << outcome.err.toStdString();
    EXPECT_FALSE(outcome.err.contains("minidump"));
}

TEST(Crash, RelativeFolderIsBelowTheApplicationFolder)
{
    const QString folder = QStringLiteral("crash-test-%1").arg(QCoreApplication::applicationPid());
    const QString expected = QFileInfo(CRASH_CHILD).absolutePath() + "/" + folder;
    const Outcome outcome = crashChild(folder + "/./sub/..", "abort");
    const QStringList dumps = QDir(expected).entryList(QDir::Files);
    EXPECT_EQ(dumps.size(), 1) << outcome.err.toStdString();
    EXPECT_TRUE(outcome.err.contains("dump path: " + expected.toUtf8() + "/")) << outcome.err.toStdString();
    QDir(expected).removeRecursively();
}
