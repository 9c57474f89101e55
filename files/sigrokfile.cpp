#include "files/sigrokfile.h"

#include "waveform/segment.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryFile>

#include <quazip5/quazip.h>
#include <quazip5/quazipfile.h>

#include <algorithm>
#include <map>
#include <vector>

namespace kvq::files {

namespace {

// The user's messages of this file.
struct Text {
    Q_DECLARE_TR_FUNCTIONS(SigrokFile)
};

constexpr int kMaxUnitSize = 8;
// Logic files of a session are a few MiB each; anything far beyond is not one.
constexpr qint64 kMaxMember = qint64(1) << 30;

bool readMember(QuaZip& zip, const QString& name, QByteArray* out)
{
    if (!zip.setCurrentFile(name))
        return false;
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    out->clear();
    while (!file.atEnd() && out->size() < kMaxMember) {
        const QByteArray block = file.read(1 << 20);
        if (block.isEmpty())
            break;
        out->append(block);
    }
    const bool ok = file.getZipError() == UNZ_OK;
    file.close();
    return ok;
}

} // namespace

SigrokMetadata parseSigrokMetadata(const QByteArray& text)
{
    SigrokMetadata meta;
    bool inDevice = false;
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inDevice = line == QLatin1String("[device 1]");
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (!inDevice || eq < 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("samplerate"))
            meta.rate = parseSigrokRate(value);
        else if (key == QLatin1String("unitsize"))
            meta.unitSize = value.toInt();
        else if (key == QLatin1String("capturefile"))
            meta.capturefile = value;
        else if (key.startsWith(QLatin1String("probe"))) {
            bool ok = false;
            const int n = key.mid(5).toInt(&ok);
            if (ok && n >= 1 && n <= 64)
                meta.probes[n - 1] = value;
        }
    }
    return meta;
}

std::uint64_t parseSigrokRate(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*([0-9]+(?:\\.[0-9]+)?)\\s*([kMG]?)Hz\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return 0;
    double value = match.captured(1).toDouble();
    const QString unit = match.captured(2);
    if (unit == QLatin1String("k"))
        value *= 1e3;
    else if (unit == QLatin1String("M"))
        value *= 1e6;
    else if (unit == QLatin1String("G"))
        value *= 1e9;
    // No logic analyser samples faster than this; larger values are garbage.
    if (!(value >= 0 && value < 1e12))
        return 0;
    return std::uint64_t(value + 0.5);
}

SigrokImport importSigrokSession(const QString& path, const QString& probe, waveform::Segment& store)
{
    SigrokImport result;
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip)) {
        result.error = Text::tr("不是 sigrok 会话文件。");
        return result;
    }
    QByteArray text;
    if (!readMember(zip, QStringLiteral("metadata"), &text)) {
        result.error = Text::tr("sigrok 会话文件缺少 metadata。");
        return result;
    }
    const SigrokMetadata meta = parseSigrokMetadata(text);
    for (const auto& entry : meta.probes)
        result.probes << entry.second;
    if (meta.rate == 0 || meta.rate % 1000 != 0 || meta.unitSize < 1 || meta.unitSize > kMaxUnitSize ||
        meta.probes.empty() || meta.capturefile.isEmpty()) {
        result.error = Text::tr("sigrok 会话文件的采样率、探头或数据格式无法使用。");
        return result;
    }
    // The logic members in their numeric order: logic-1-1, logic-1-2, ..., logic-1-10.
    std::map<int, QString> members;
    const QString prefix = meta.capturefile + QLatin1Char('-');
    for (const QString& name : zip.getFileNameList()) {
        bool ok = false;
        const int n = name.startsWith(prefix) ? name.mid(prefix.size()).toInt(&ok) : 0;
        if (ok && n > 0)
            members[n] = name;
    }
    if (members.empty()) {
        result.error = Text::tr("sigrok 会话文件没有采样数据。");
        return result;
    }

    int bit = -1;
    if (!probe.isEmpty()) {
        for (const auto& entry : meta.probes)
            if (entry.second.compare(probe, Qt::CaseInsensitive) == 0)
                bit = entry.first;
        if (bit < 0) {
            result.error = Text::tr("sigrok 会话文件中没有探头 %1。").arg(probe);
            return result;
        }
    }

    // One pass reads the members; without a chosen probe the edges of every
    // probe are counted on the way and each probe's samples are kept packed
    // until the busiest one is known.
    const int unit = meta.unitSize;
    struct Line {
        std::vector<std::uint8_t> bits;
        std::int64_t edges = 0;
        int last = -1; // level of the previous sample, -1 before the first
    };
    std::map<int, Line> lines; // probe bit -> its samples
    for (const auto& entry : meta.probes)
        if ((bit < 0 || entry.first == bit) && entry.first < unit * 8)
            lines[entry.first];
    std::int64_t samples = 0;
    QByteArray data;
    for (const auto& member : members) {
        if (!readMember(zip, member.second, &data)) {
            result.error = Text::tr("sigrok 会话文件已损坏。");
            return result;
        }
        const qint64 count = data.size() / unit;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
        for (auto& [b, line] : lines) {
            line.bits.resize(size_t((samples + count + 7) / 8), 0);
            const int byteIndex = b / 8;
            const int shift = b % 8;
            for (qint64 i = 0; i < count; ++i) {
                const int level = (bytes[i * unit + byteIndex] >> shift) & 1;
                const std::int64_t s = samples + i;
                line.bits[size_t(s >> 3)] |= std::uint8_t(level << (s & 7));
                line.edges += line.last >= 0 && level != line.last;
                line.last = level;
            }
        }
        samples += count;
    }
    if (lines.empty() || samples == 0) {
        result.error = Text::tr("sigrok 会话文件没有采样数据。");
        return result;
    }
    if (bit < 0) {
        // The busiest line; among equals the first probe named like a CC line.
        std::int64_t best = -1;
        for (const auto& [b, line] : lines) {
            const bool cc = meta.probes.at(b).startsWith(QLatin1String("CC"), Qt::CaseInsensitive);
            const std::int64_t score = line.edges * 2 + (cc ? 1 : 0);
            if (score > best) {
                best = score;
                bit = b;
            }
        }
    }
    const std::vector<std::uint8_t>& bits = lines[bit].bits;
    store.clearCapture();
    store.setRate(std::int64_t(meta.rate / 1000));
    constexpr std::int64_t piece = waveform::Segment::kBufferBytes;
    for (std::int64_t at = 0; at < std::int64_t(bits.size()); at += piece) {
        const std::int64_t n = std::min<std::int64_t>(piece, std::int64_t(bits.size()) - at);
        if (store.writeBytes(0, at, bits.data() + at, n, n == piece) != waveform::Segment::WriteOk) {
            result.error = Text::tr("申请内存失败，无法写入数据。");
            return result;
        }
    }
    store.setSampleCount(samples, 0, false);
    result.ok = true;
    result.probe = meta.probes.at(bit);
    result.rateHz = meta.rate;
    result.samples = samples;
    return result;
}

} // namespace kvq::files
