#include "app/base/logging.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace kvq;

namespace {

int linesOnDisk(const QString& path)
{
    return kvqtest::readAll(path).count('\n');
}

} // namespace

TEST(Logging, FileNameAndLineFormat)
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/log/nested"; // created with its parents
    startLog(folder);
    const QString file = currentLogFile();
    ASSERT_FALSE(file.isEmpty());
    EXPECT_EQ(QFileInfo(file).path(), folder);
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d{2}-\\d{2} \\d{2}-\\d{2}-\\d{2}\\.log$")
                    .match(QFileInfo(file).fileName())
                    .hasMatch())
        << file.toStdString();
    writeLog(QStringLiteral("AppVersion：1.0.1.6 x64"), true);
    writeLog(QStringLiteral("    indented sub-step"));
    closeLog();
    const QStringList lines = QString::fromUtf8(kvqtest::readAll(file)).split('\n');
    ASSERT_EQ(lines.size(), 3); // two lines and the empty text after the last "\n"
    const QRegularExpression stamp("^\\d{4}-\\d{2}-\\d{2} \\d{2}-\\d{2}-\\d{2}\\.\\d{3}: ");
    EXPECT_TRUE(stamp.match(lines[0]).hasMatch());
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(": AppVersion：1.0.1.6 x64")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(":     indented sub-step")));
    EXPECT_TRUE(lines[2].isEmpty());
}

TEST(Logging, FlushesOnEverySixthLineAndOnRequest)
{
    QTemporaryDir tmp;
    startLog(tmp.path());
    const QString file = currentLogFile();
    // {line to write, flush flag, lines expected on disk afterwards}
    const struct {
        bool flush;
        int onDisk;
    } steps[] = {
        {false, 0}, {false, 0}, {false, 0}, {false, 0}, {false, 0}, {false, 6},  // sixth line
        {false, 6},                                                              // seventh does not
        {true, 8},                                                               // a requested flush
        {false, 8}, {false, 8}, {false, 8}, {false, 8}, {false, 8}, {false, 14}, // sixth after the last flush
    };
    int n = 0;
    for (const auto& step : steps) {
        writeLog(QStringLiteral("line %1").arg(++n), step.flush);
        EXPECT_EQ(linesOnDisk(file), step.onDisk) << "after line " << n;
    }
    closeLog();
    EXPECT_EQ(linesOnDisk(file), n); // closing flushes the rest
    writeLog(QStringLiteral("after close"));
    EXPECT_EQ(linesOnDisk(file), n);
}

TEST(Logging, UnusableFolderLeavesLoggingOff)
{
    startLog(QStringLiteral("/dev/null/log")); // cannot be created, not even by root
    EXPECT_TRUE(currentLogFile().isEmpty());
    writeLog(QStringLiteral("goes nowhere"), true); // must not crash
    closeLog();
}

TEST(Logging, LinesFromManyThreadsStayWhole)
{
    QTemporaryDir tmp;
    startLog(tmp.path());
    const QString file = currentLogFile();
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                writeLog(QStringLiteral("thread %1 line %2 ").arg(t).arg(i) + QString(40, QLatin1Char('x')));
        });
    for (auto& thread : threads)
        thread.join();
    closeLog();
    const QStringList lines = QString::fromUtf8(kvqtest::readAll(file)).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), kThreads * kLines);
    const QRegularExpression whole("^\\S+ \\S+: thread \\d line \\d+ x{40}$");
    for (const QString& line : lines)
        ASSERT_TRUE(whole.match(line).hasMatch()) << line.toStdString();
}
