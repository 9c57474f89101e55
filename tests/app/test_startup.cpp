#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

// Runs the real program, headless, in a home folder of its own.
namespace {

struct Program {
    QTemporaryDir home;
    QProcess process;

    void start(const QString& xdgDataHome = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path() + "/.config");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (xdgDataHome.isNull())
            env.remove("XDG_DATA_HOME");
        else
            env.insert("XDG_DATA_HOME", xdgDataHome);
        process.setProcessEnvironment(env);
        process.setProgram(KVQ_OUTPUT_DIR "/KVQ-M");
        process.start();
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    // Waits until `path` exists (the program writes it once it is up).
    bool waitForFile(const QString& path, int timeoutMs = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!QFile::exists(path) && timer.elapsed() < timeoutMs)
            QThread::msleep(50);
        return QFile::exists(path);
    }

    int terminate()
    {
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            return -1000;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2000;
    }
};

} // namespace

TEST(Startup, WritesSystemInformationAndSettingsAndExitsCleanly)
{
    Program p;
    p.start();
    const QString data = p.home.path() + "/.local/share/Korvanex/KVQ-M2_View";
    ASSERT_TRUE(p.waitForFile(data + "/set.ini")) << p.process.readAllStandardError().toStdString();
    EXPECT_EQ(p.terminate(), 0) << p.process.readAllStandardError().toStdString();

    const QStringList logs = QDir(data + "/log").entryList({"*.log"}, QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    const QStringList lines =
        QString::fromUtf8(kvqtest::readAll(data + "/log/" + logs.first())).split('\n', Qt::SkipEmptyParts);
    const char* const labels[] = {
        "AppVersion：1.0.1.6 x64",     "系统版本：", "用户：",         "CPU架构：",
        "SceneGraphBackend：software", "CPU：",      "物理内存总量：", "可用的物理内存："};
    ASSERT_GE(lines.size(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(lines[i].section(": ", 1).startsWith(QString::fromUtf8(labels[i])))
            << lines[i].toStdString();
    EXPECT_TRUE(lines[6].endsWith(" GB"));

    EXPECT_TRUE(QDir(data + "/crash").exists());
    EXPECT_TRUE(QDir(data + "/temp").exists());
    const QString autoSave = p.home.path() + "/Documents/Korvanex/KVQ-M/AutoSave";
    EXPECT_TRUE(QDir(autoSave).exists());
    // The settings were initialised once the root existed, with the folder defaults.
    const QByteArray settings = kvqtest::readAll(data + "/set.ini");
    EXPECT_TRUE(settings.contains("\ncachePath=" + (data + "/temp").toUtf8() + "\n"))
        << settings.toStdString();
    EXPECT_TRUE(settings.contains("\nautoSavePath=" + autoSave.toUtf8() + "\n"));
}

TEST(Startup, XdgDataHomeIsHonoured)
{
    Program p;
    const QString xdg = p.home.path() + "/xdg";
    p.start(xdg);
    ASSERT_TRUE(p.waitForFile(xdg + "/Korvanex/KVQ-M2_View/set.ini"));
    EXPECT_EQ(p.terminate(), 0);
}

TEST(Startup, UnusableDataFolderDoesNotStopTheProgram)
{
    Program p;
    p.start("/dev/null/xdg"); // nothing can be created below a device file
    QThread::sleep(3);
    ASSERT_EQ(p.process.state(), QProcess::Running);
    EXPECT_EQ(p.terminate(), 0);
    const QByteArray err = p.process.readAllStandardError();
    EXPECT_TRUE(
        err.contains("Failed to set dump path which not exists: /dev/null/xdg/Korvanex/KVQ-M2_View/crash"))
        << err.toStdString();
}

TEST(Startup, ProgramCrashLeavesOneDumpInItsCrashFolder)
{
    Program p;
    p.start();
    const QString data = p.home.path() + "/.local/share/Korvanex/KVQ-M2_View";
    ASSERT_TRUE(p.waitForFile(data + "/set.ini"));
    ::kill(pid_t(p.process.processId()), SIGSEGV);
    ASSERT_TRUE(p.process.waitForFinished(20000));
    EXPECT_EQ(p.process.exitStatus(), QProcess::CrashExit);
    const QStringList dumps = QDir(data + "/crash").entryList(QDir::Files);
    ASSERT_EQ(dumps.size(), 1);
    EXPECT_TRUE(kvqtest::readAll(data + "/crash/" + dumps.first()).contains("Signal: SIGSEGV"));
}

TEST(Startup, SimulatedMeterConnectsAtStartUp)
{
    Program p;
    p.process.setArguments({"--simulate"});
    p.start();
    const QString data = p.home.path() + "/.local/share/Korvanex/KVQ-M2_View";
    ASSERT_TRUE(p.waitForFile(data + "/set.ini"));
    // The first scan runs 3 s after start-up; the handshake takes about a second.
    const auto logText = [&] {
        const QStringList logs = QDir(data + "/log").entryList({"*.log"}, QDir::Files);
        return logs.size() == 1 ? QString::fromUtf8(kvqtest::readAll(data + "/log/" + logs.first()))
                                : QString();
    };
    QElapsedTimer waited;
    waited.start();
    while (!logText().contains(QStringLiteral("设备连接成功")) && waited.elapsed() < 20000)
        QThread::msleep(50);
    EXPECT_EQ(p.terminate(), 0);
    const QStringList logs = QDir(data + "/log").entryList({"*.log"}, QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    const QString log = logText();
    const QRegularExpression connected(": 设备接入端口:(\\d+)\n.*:     连接设备端口:\\1\n.*"
                                       ":     设备连接成功:KVQ-M,端口:\\1,速度:2.0,FW:123\n",
                                       QRegularExpression::DotMatchesEverythingOption);
    EXPECT_TRUE(connected.match(log).hasMatch()) << log.toStdString();
}
