#include "app/base/folders.h"

#include "app/base/platform/platform.h"
#include "version.h"

#include <QDir>
#include <QSysInfo>

namespace kvq {

QString makeCleanPath(const QString& path)
{
    if (path.isEmpty())
        return path;
    QDir().mkpath(path);
    return QDir::cleanPath(path);
}

AppFolders formAppFolders(const QString& dataLocation, const QString& documentsLocation)
{
    AppFolders folders;
    QString data = dataLocation;
    if (data.isEmpty())
        data = QDir::homePath() + QStringLiteral("/.local/share/Korvanex/KVQ-M2_View");
    folders.data = makeCleanPath(data);
    folders.log = folders.data + QStringLiteral("/log");
    folders.crash = folders.data + QStringLiteral("/crash");
    folders.temp = QDir::cleanPath(folders.data + QStringLiteral("/temp"));
    const QString documents = documentsLocation.isEmpty() ? QDir::homePath() : documentsLocation;
    folders.autoSave = QDir::cleanPath(documents + QStringLiteral("/Korvanex/KVQ-M/AutoSave"));
    return folders;
}

QStringList systemInfoLines()
{
    const auto gib = [](qint64 bytes) {
        return QString::number(bytes < 0 ? 0.0 : double(bytes) / double(1LL << 30), 'g', 6);
    };
    return {
        QStringLiteral("AppVersion：") + QStringLiteral(KVQ_APP_VERSION) + QStringLiteral(" x64"),
        QStringLiteral("系统版本：") + QSysInfo::productType() + QLatin1Char(' ') +
            QSysInfo::productVersion() + QStringLiteral(" - ") + QSysInfo::kernelType() + QLatin1Char(' ') +
            QSysInfo::kernelVersion(),
        QStringLiteral("用户：") + QSysInfo::machineHostName(),
        QStringLiteral("CPU架构：") + QSysInfo::currentCpuArchitecture(),
        QStringLiteral("SceneGraphBackend：software"),
        QStringLiteral("CPU：") + platform::processorName(),
        QStringLiteral("物理内存总量：") + gib(platform::totalPhysicalMemory()) + QStringLiteral(" GB"),
        QStringLiteral("可用的物理内存：") + gib(platform::availablePhysicalMemory()) + QStringLiteral(" GB"),
    };
}

} // namespace kvq
