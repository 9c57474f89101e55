#include "files/ziphelper.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>

#include <quazip5/quazip.h>
#include <quazip5/quazipfile.h>
#include <quazip5/quazipnewinfo.h>

#include <algorithm>
#include <cmath>

namespace compressionTool {

namespace {

qint64 folderSize(const QString& path)
{
    QDir dir(path);
    if (!dir.exists()) {
        qWarning() << "Folder does not exist: " << path;
        return 0;
    }
    qint64 total = 0;
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
        total += info.size();
    for (const QFileInfo& sub :
         dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (!sub.isReadable())
            qWarning() << "Error calculating subfolder size: " << sub.filePath();
        total += folderSize(sub.filePath());
    }
    return total;
}

} // namespace

QString zipCompressThread::typeName() const
{
    return QString::fromLatin1(QMetaEnum::fromType<ZipCompressType>().valueToKey(m_type));
}

bool zipCompressThread::begin(ZipCompressType type, const QString& source, const QString& destination,
                              bool recursive)
{
    if (m_busy.exchange(true)) {
        qWarning() << "Please wait while executing:"
                   << QMetaEnum::fromType<ZipCompressType>().valueToKey(type);
        return false;
    }
    m_done = 0;
    m_total = 0;
    m_lastProgress = -1;
    m_type = type;
    m_source = source;
    m_destination = destination;
    m_recursive = recursive;
    m_files.clear();
    return true;
}

void zipCompressThread::advance(qint64 bytes)
{
    m_done += bytes;
    if (m_total <= 0)
        return;
    double progress = std::round(double(m_done) / double(m_total) * 100.0) / 100.0;
    if (progress == m_lastProgress)
        return;
    if (progress > 1) {
        qWarning() << " error schedule: " << progress;
        progress = 1;
    }
    m_lastProgress = progress;
    emit signalCompressionProgress(progress, typeName(), m_files);
}

bool zipCompressThread::compressDir()
{
    const QString zipPath = QFileInfo(m_destination).absoluteFilePath();
    m_total = folderSize(m_source);
    QDir().mkpath(QFileInfo(zipPath).absolutePath());
    QuaZip zip(zipPath);
    bool ok = zip.open(QuaZip::mdCreate);
    const QDir root(m_source);
    // Sub-directories first (their entries, then their contents), then the files here.
    std::function<void(const QString&)> walk = [&](const QString& path) {
        QDir dir(path);
        if (m_recursive) {
            for (const QFileInfo& sub :
                 dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
                if (!ok)
                    return;
                QuaZipFile entry(&zip);
                ok = entry.open(
                    QIODevice::WriteOnly,
                    QuaZipNewInfo(root.relativeFilePath(sub.filePath()) + QLatin1Char('/'), sub.filePath()));
                entry.close();
                ok = ok && entry.getZipError() == 0;
                walk(sub.filePath());
            }
        }
        for (const QFileInfo& file : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
            if (!ok)
                return;
            if (file.absoluteFilePath() == zipPath)
                continue; // never the archive itself
            QuaZipFile entry(&zip);
            const QuaZipNewInfo info(root.relativeFilePath(file.filePath()), file.filePath());
            if (!entry.open(QIODevice::WriteOnly, info, nullptr, 0, Z_DEFLATED, Z_BEST_SPEED)) {
                ok = false;
                return;
            }
            if (file.isSymLink()) {
                entry.write(QFile::encodeName(file.dir().relativeFilePath(file.symLinkTarget())));
            } else {
                QFile source(file.filePath());
                ok = source.open(QIODevice::ReadOnly);
                while (ok && !source.atEnd()) {
                    const QByteArray block = source.read(256 * 1024);
                    ok = entry.write(block) == block.size();
                    advance(block.size());
                }
            }
            entry.close();
            ok = ok && entry.getZipError() == 0;
        }
    };
    if (ok)
        walk(m_source);
    zip.close();
    ok = ok && zip.getZipError() == 0;
    if (!ok)
        QFile::remove(zipPath);
    if (m_total == 0 && ok)
        emit signalCompressionProgress(1.0, typeName(), m_files);
    m_busy = false;
    return ok;
}

namespace {

// Relative, forward slashes only, no parent steps, no drive letter.
bool safeEntryName(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        (name.size() >= 2 && name.at(1) == QLatin1Char(':')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

bool isSymbolicLink(const QuaZipFileInfo64& info)
{
    // Unix mode in the high half of the external attributes; archives made
    // elsewhere leave it 0.
    return ((info.externalAttr >> 16) & 0170000) == 0120000;
}

// A capture buffer file is 1 MiB; text members stay far below the general cap.
qint64 entryLimit(const QString& name)
{
    return name.endsWith(QLatin1String(".bin")) ? qint64(1) << 20 : qint64(256) << 20;
}

} // namespace

QStringList zipCompressThread::extractDir()
{
    QStringList extracted;
    const auto fail = [&] {
        for (const QString& path : extracted)
            QFile::remove(path);
        m_busy = false;
        return QStringList();
    };
    QuaZip zip(m_source);
    if (!zip.open(QuaZip::mdUnzip)) {
        qWarning() << "Failed to open zip file";
        return fail();
    }
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (zip.getCurrentFileInfo(&info))
            m_total += qint64(info.uncompressedSize);
        else
            qWarning() << "Failed to get file info";
    }
    const QString target = QDir::cleanPath(QFileInfo(m_destination).absoluteFilePath()) + QLatin1Char('/');
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        const QString name = zip.getCurrentFileName();
        QuaZipFileInfo64 entryInfo;
        zip.getCurrentFileInfo(&entryInfo);
        // An archive is refused as a whole when an entry could land outside
        // the target or is a link: it was not made by us.
        if (!safeEntryName(name) || isSymbolicLink(entryInfo)) {
            qWarning() << "Refusing zip entry" << name;
            return fail();
        }
        const QString path = QDir::cleanPath(target + name);
        if (!(path + QLatin1Char('/')).startsWith(target))
            return fail();
        if (path + QLatin1Char('/') == target)
            continue;
        if (name.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(path);
            continue;
        }
        QDir().mkpath(QFileInfo(path).absolutePath());
        QuaZipFile entry(&zip);
        QFile out(path);
        if (!entry.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail();
        extracted << path;
        // What an entry may expand to: anything beyond is cut, so that a
        // small archive cannot fill the disk.
        qint64 room = entryLimit(name);
        while (!entry.atEnd() && room > 0) {
            const QByteArray block = entry.read(std::min<qint64>(room, 256 * 1024));
            if (block.isEmpty()) {
                if (entry.getZipError() != 0)
                    return fail();
                break;
            }
            if (out.write(block) != block.size())
                return fail();
            room -= block.size();
            advance(block.size());
        }
        const bool cut = !entry.atEnd();
        entry.close();
        out.close();
        if (!cut && entry.getZipError() != 0)
            return fail();
        QuaZipFileInfo64 info;
        if (zip.getCurrentFileInfo(&info) && info.getPermissions() != 0)
            out.setPermissions(info.getPermissions());
    }
    zip.close();
    if (zip.getZipError() != 0 || extracted.isEmpty())
        return fail();
    m_files = extracted;
    m_busy = false;
    return extracted;
}

zipCompress::zipCompress(QObject* parent) : QObject(parent)
{
    connect(&m_worker, &zipCompressThread::signalCompressionProgress, this,
            &zipCompress::signalCompressionProgress);
}

bool zipCompress::compressDir(const QString& zipFile, const QString& directory, bool recursive)
{
    return m_worker.begin(zipCompressThread::CompressDir, directory, zipFile, recursive) &&
           m_worker.compressDir();
}

QStringList zipCompress::extractDir(const QString& zipFile, const QString& directory)
{
    if (!m_worker.begin(zipCompressThread::ExtractDir, zipFile, directory))
        return {};
    return m_worker.extractDir();
}

} // namespace compressionTool

ZipHelper::ZipHelper(QObject* parent) : QObject(parent)
{
    connect(&m_tool, &compressionTool::zipCompress::signalCompressionProgress, this,
            &ZipHelper::slotsCompressionProgress);
}

bool ZipHelper::compressDir(const QString& directory, const QString& zipFile)
{
    emit sendZipDirSchedule(0);
    const bool ok = m_tool.compressDir(zipFile, directory, true);
    emit sendZipDirSchedule(100);
    return ok;
}

bool ZipHelper::extractDir(const QString& zipFile, const QString& directory)
{
    emit sendUnZipDirSchedule(0);
    QDir().mkpath(directory);
    const QStringList files = m_tool.extractDir(zipFile, directory);
    emit sendUnZipDirSchedule(100);
    return !files.isEmpty();
}

void ZipHelper::slotsCompressionProgress(double progress, QString operateType, QStringList)
{
    const int schedule = int(progress * 100);
    if (operateType == QLatin1String("ExtractDir") || operateType == QLatin1String("ExtractFiles"))
        emit sendUnZipDirSchedule(schedule);
    else
        emit sendZipDirSchedule(schedule);
}
