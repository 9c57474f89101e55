#pragma once

// Packs a directory into a zip archive and unpacks one into a directory, with
// progress in hundredths; extraction never writes outside its target.

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

namespace compressionTool {

// One operation at a time, run on the caller's thread (protocol files are
// saved and opened from a worker already).
class zipCompressThread : public QObject {
    Q_OBJECT

public:
    enum ZipCompressType {
        Unknown = 0,
        CompressFiles = 1,
        ExtractFiles = 2,
        CompressDir = 3,
        ExtractDir = 4
    };
    Q_ENUM(ZipCompressType)

    // Claims the worker for one operation; false (with a warning) while busy.
    bool begin(ZipCompressType type, const QString& source, const QString& destination,
               bool recursive = true);
    bool compressDir();       // source directory -> destination zip
    QStringList extractDir(); // source zip -> destination directory; empty on failure

signals:
    void signalCompressionProgress(double progress, QString operateType, QStringList fileNames);

private:
    void advance(qint64 bytes);
    QString typeName() const;

    std::atomic<bool> m_busy{false};
    qint64 m_done = 0;
    qint64 m_total = 0;
    double m_lastProgress = -1;
    ZipCompressType m_type = Unknown;
    QString m_source;
    QString m_destination;
    bool m_recursive = true;
    QStringList m_files;
};

class zipCompress : public QObject {
    Q_OBJECT

public:
    explicit zipCompress(QObject* parent = nullptr);
    bool compressDir(const QString& zipFile, const QString& directory, bool recursive);
    QStringList extractDir(const QString& zipFile, const QString& directory);

signals:
    void signalCompressionProgress(double progress, QString operateType, QStringList fileNames);

private:
    zipCompressThread m_worker;
};

} // namespace compressionTool

class ZipHelper : public QObject {
    Q_OBJECT

public:
    explicit ZipHelper(QObject* parent = nullptr);
    bool compressDir(const QString& directory, const QString& zipFile);
    bool extractDir(const QString& zipFile, const QString& directory);

public slots:
    void slotsCompressionProgress(double progress, QString operateType, QStringList fileNames);

signals:
    void sendZipDirSchedule(int schedule);
    void sendUnZipDirSchedule(int schedule);

private:
    compressionTool::zipCompress m_tool;
};
