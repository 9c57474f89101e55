#include "files/protocolfile.h"

#include "files/ziphelper.h"
#include "waveform/segment.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace kvq::files {

namespace {

using waveform::Segment;

// The user's messages of this file.
struct Text {
    Q_DECLARE_TR_FUNCTIONS(ProtocolFile)
};

struct FileError : std::runtime_error {
    explicit FileError(const QString& text) : std::runtime_error(text.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size() &&
           file.flush();
}

quint64 blockOffset(int block, int buffer)
{
    return (quint64(block) * Segment::kBuffersPerBlock + quint64(buffer)) * quint64(Segment::kBufferBytes);
}

void writeChannel(Segment& store, int channel, const QString& dir)
{
    if (!QDir().mkpath(dir))
        throw FileError(Text::tr("生成通道%1配置文件失败。").arg(channel));
    QByteArray text;
    text += QByteArray::number(qlonglong(store.startOf(channel))) + "\r\n";
    text += QByteArray::number(qlonglong(store.sampleCount(channel, false))) + "\r\n";
    const std::vector<waveform::BlockRecord>* blocks = store.blocksOf(channel);
    for (int j = 0; blocks && j < int(blocks->size()); ++j) {
        const waveform::BlockRecord& record = (*blocks)[size_t(j)];
        text += QByteArray::number(qulonglong(record.constantMask)) + ',' +
                QByteArray::number(qulonglong(record.levelMask)) + "\r\n";
        for (int k = 0; k < Segment::kBuffersPerBlock; ++k) {
            const std::uint8_t* data = record.data[size_t(k)];
            if (!data)
                continue;
            QFile bin(QStringLiteral("%1/%2-%3.bin").arg(dir).arg(j).arg(k));
            if (!bin.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                bin.write(reinterpret_cast<const char*>(data), Segment::kBufferBytes) !=
                    Segment::kBufferBytes ||
                !bin.flush())
                throw FileError(Text::tr("生成原始文件失败。"));
        }
    }
    if (!writeText(dir + QStringLiteral("/channel.ini"), text))
        throw FileError(Text::tr("生成通道%1配置文件失败。").arg(channel));
}

// Reads channel `channel` from `dir`; a skipped channel adds a warning.
void readChannel(Segment& store, int channel, const QString& dir, QStringList* warnings)
{
    if (!QFileInfo(dir).isDir()) {
        warnings->append(Text::tr("缺失通道%1数据目录，已经跳过。").arg(channel) + QLatin1Char('\n'));
        return;
    }
    QFile ini(dir + QStringLiteral("/channel.ini"));
    if (!ini.open(QIODevice::ReadOnly)) {
        warnings->append(Text::tr("读取通道%1配置文件失败，已经跳过。").arg(channel) + QLatin1Char('\n'));
        return;
    }
    // A channel file far beyond 320 block lines is not ours.
    const ChannelFile layout = parseChannelFile(ini.read(1 << 20));

    bool noMemory = false;
    const QStringList bins = QDir(dir).entryList(QStringList{QStringLiteral("*.bin")}, QDir::Files);
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size_t(Segment::kBufferBytes)]);
    for (const QString& name : bins) {
        const QStringList parts = name.chopped(4).split(QLatin1Char('-'));
        if (parts.size() != 2)
            continue;
        bool okJ = false;
        bool okK = false;
        const int j = parts[0].toInt(&okJ);
        const int k = parts[1].toInt(&okK);
        if (!okJ || !okK || j < 0 || j >= Segment::kBlocks || k < 0 || k >= Segment::kBuffersPerBlock)
            continue;
        QFile bin(dir + QLatin1Char('/') + name);
        if (!bin.open(QIODevice::ReadOnly))
            throw FileError(Text::tr("读取原始文件失败。"));
        std::memset(buffer.get(), 0, size_t(Segment::kBufferBytes));
        const qint64 got = bin.read(reinterpret_cast<char*>(buffer.get()), Segment::kBufferBytes);
        if (got < 0)
            throw FileError(Text::tr("读取原始文件失败。"));
        // The whole buffer is written, so one of a single level is compacted at once.
        if (store.writeBytes(channel, qint64(blockOffset(j, k)), buffer.get(), Segment::kBufferBytes, true) !=
            Segment::WriteOk) {
            noMemory = true;
            break;
        }
    }
    for (size_t block = 0; block < layout.blocks.size(); ++block) {
        const ChannelFile::Block& b = layout.blocks[block];
        if (b.valid && b.constantMask != 0)
            store.setConstantBuffers(channel, int(block), b.constantMask, b.levelMask);
    }
    const qint64 limit = qint64(Segment::kBlocks) * Segment::kBlockSamples;
    store.setSampleCount(std::clamp<qint64>(layout.count, 0, limit), channel, false);
    store.setStart(channel, std::clamp<qint64>(layout.start, 0, limit));
    if (noMemory)
        throw FileError(Text::tr("申请内存失败，无法写入数据。"));
}

} // namespace

ChannelFile parseChannelFile(const QByteArray& text)
{
    ChannelFile file;
    const QList<QByteArray> lines = text.split('\n');
    file.start = lines.value(0).trimmed().toLongLong();
    file.count = lines.value(1).trimmed().toLongLong();
    for (int i = 2; i < lines.size() && int(file.blocks.size()) < Segment::kBlocks; ++i) {
        if (!lines[i].contains(','))
            continue;
        const QList<QByteArray> masks = lines[i].trimmed().split(',');
        ChannelFile::Block block;
        bool okC = false;
        bool okL = false;
        if (masks.size() == 2) {
            block.constantMask = masks[0].trimmed().toULongLong(&okC);
            block.levelMask = masks[1].trimmed().toULongLong(&okL);
        }
        block.valid = okC && okL;
        file.blocks.push_back(block);
    }
    return file;
}

QString makeTimedFolder(const QString& base)
{
    for (;;) {
        const QString dir = base + QLatin1Char('/') + QString::number(QDateTime::currentSecsSinceEpoch());
        if (!QFileInfo::exists(dir)) {
            QDir().mkpath(dir);
            return dir;
        }
        QThread::msleep(10);
    }
}

ProtocolFileResult saveProtocolFile(Segment& store, const std::vector<decode::MessageBus>& messages,
                                    const QString& path, const QString& cacheDir)
{
    ProtocolFileResult result;
    const Hold<Segment> use = store.hold();
    const QString dir = makeTimedFolder(cacheDir + QStringLiteral("/save"));
    if (!QFileInfo(dir).isDir()) {
        result.message = Text::tr("保存工程失败。");
        return result;
    }
    try {
        const QByteArray rate = "SamplingFrequency=" + QByteArray::number(qlonglong(store.rate())) + "\r\n";
        if (!writeText(dir + QStringLiteral("/channel.ini"), rate))
            throw FileError(Text::tr("生成通道配置文件失败。"));
        if (!writeText(dir + QStringLiteral("/bus.ini"), decode::formatBusFile(messages)))
            throw FileError(Text::tr("生成电流记录文件失败。"));
        for (int c = 0; c < store.channelCount(); ++c)
            writeChannel(store, c, dir + QLatin1Char('/') + QString::number(c));
        ZipHelper zip;
        if (!zip.compressDir(dir, dir + QStringLiteral(".kvqdl")))
            throw FileError(Text::tr("生成压缩文件失败。"));
    } catch (const FileError& error) {
        result.message = Text::tr("保存工程异常，错误信息:%1").arg(error.text());
        return result;
    }
    const QString zipFile = dir + QStringLiteral(".kvqdl");
    if (QFileInfo::exists(path) && !QFile::remove(path)) {
        result.message = Text::tr("文件被占用，无法删除文件。");
    } else if (!QFile::rename(zipFile, path)) {
        result.message = Text::tr("文件被占用，无法覆盖文件。");
    } else {
        result.ok = true;
        result.message = Text::tr("保存协议文件：") + path;
    }
    QFile::remove(zipFile);
    QDir(dir).removeRecursively();
    return result;
}

ProtocolFileResult readProtocolFile(Segment& store, const QString& path, const QString& cacheDir,
                                    std::vector<decode::BusSample>* bus)
{
    ProtocolFileResult result;
    const Hold<Segment> use = store.hold();
    try {
        const QString dir = makeTimedFolder(cacheDir + QStringLiteral("/load"));
        ZipHelper zip;
        if (!QFileInfo(dir).isDir() || !zip.extractDir(path, dir))
            throw FileError(Text::tr("解压缩文件失败。"));
        QFile ini(dir + QStringLiteral("/channel.ini"));
        if (!ini.exists())
            throw FileError(Text::tr("通道配置文件缺失。"));
        if (!ini.open(QIODevice::ReadOnly))
            throw FileError(Text::tr("读取通道配置文件失败。"));
        for (const QByteArray& line : ini.read(1 << 16).split('\n')) {
            const QList<QByteArray> parts = line.trimmed().split('=');
            if (parts.size() == 2 && parts[0] == "SamplingFrequency") {
                const qint64 kHz = parts[1].toLongLong();
                if (kHz > 0)
                    store.setRate(kHz);
            }
        }
        QFile busFile(dir + QStringLiteral("/bus.ini"));
        if (busFile.exists()) {
            if (!busFile.open(QIODevice::ReadOnly))
                throw FileError(Text::tr("读取电流记录文件失败。"));
            const std::vector<decode::BusSample> entries =
                decode::parseBusFile(QString::fromUtf8(busFile.readAll()));
            bus->insert(bus->end(), entries.begin(), entries.end());
        }
        for (int c = 0; c < store.channelCount(); ++c)
            readChannel(store, c, dir + QLatin1Char('/') + QString::number(c), &result.warnings);
    } catch (const FileError& error) {
        result.message = Text::tr("加载工程异常，错误信息:%1").arg(error.text());
        return result;
    }
    result.ok = true;
    result.message = Text::tr("加载协议文件：") + path;
    return result;
}

} // namespace kvq::files
