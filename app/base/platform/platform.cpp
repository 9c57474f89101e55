#include "app/base/platform/platform.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <cstdlib>

namespace kvq::platform {
namespace {

std::atomic<qint64> memoryOverride{-1};

QByteArray readProcFile(const char* path)
{
    // /proc files report size 0, so read until end instead of trusting size().
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace

qint64 parseMemInfo(const QByteArray& text, const char* key)
{
    const QByteArray wanted = QByteArray(key) + ':';
    for (const QByteArray& line : text.split('\n')) {
        if (!line.startsWith(wanted))
            continue;
        const QList<QByteArray> fields = line.mid(wanted.size()).simplified().split(' ');
        bool ok = false;
        const qint64 value = fields.value(0).toLongLong(&ok);
        if (!ok || value < 0)
            return -1;
        const QByteArray unit = fields.value(1).toLower();
        if (unit == "kb")
            return value * 1024;
        if (unit.isEmpty())
            return value;
        return -1;
    }
    return -1;
}

QString parseCpuModelName(const QByteArray& text)
{
    for (const QByteArray& line : text.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed() != "model name")
            continue;
        return QString::fromUtf8(line.mid(colon + 1)).trimmed();
    }
    return {};
}

qint64 availablePhysicalMemory()
{
    const qint64 forced = memoryOverride.load(std::memory_order_relaxed);
    if (forced >= 0)
        return forced;
    return parseMemInfo(readProcFile("/proc/meminfo"), "MemAvailable");
}

qint64 totalPhysicalMemory()
{
    return parseMemInfo(readProcFile("/proc/meminfo"), "MemTotal");
}

void setAvailableMemoryOverride(qint64 bytes)
{
    memoryOverride.store(bytes < 0 ? -1 : bytes, std::memory_order_relaxed);
}

QString processorName()
{
    return parseCpuModelName(readProcFile("/proc/cpuinfo"));
}

QString appDataLocation()
{
    const QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        return QDir::homePath() + QStringLiteral("/.local/share/Korvanex/KVQ-M2_View");
    if (QDir::isRelativePath(base))
        return {};
    return base + QStringLiteral("/Korvanex/KVQ-M2_View");
}

bool setEnvironment(const char* name, const QString& value)
{
    return ::setenv(name, value.toLocal8Bit().constData(), 1) == 0;
}

} // namespace kvq::platform
