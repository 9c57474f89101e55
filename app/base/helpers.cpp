#include "app/base/helpers.h"

#include "app/base/platform/platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <atomic>
#include <cmath>
#include <cstdlib>

namespace kvq {
namespace {

QString pad(qint64 value, int width)
{
    return QString::number(value).rightJustified(width, QLatin1Char('0'));
}

} // namespace

qint64 parseClockTime(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{2}):(\\d{2}):(\\d{2})\\.(\\d{3})$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return -1;
    const int h = m.capturedRef(1).toInt();
    const int min = m.capturedRef(2).toInt();
    const int s = m.capturedRef(3).toInt();
    const int ms = m.capturedRef(4).toInt();
    if (h > 23 || min > 59 || s > 59)
        return -1;
    return h * 3600000LL + min * 60000LL + s * 1000LL + ms;
}

QString formatClockTime(qint64 milliseconds)
{
    const qint64 ms = milliseconds < 0 ? 0 : milliseconds;
    return QStringLiteral("%1:%2:%3.%4")
        .arg(pad(ms / 3600000, 2), pad(ms / 60000 % 60, 2), pad(ms / 1000 % 60, 2), pad(ms % 1000, 3));
}

QString formatDuration(qint64 milliseconds, int digits)
{
    const qint64 ms = std::llabs(milliseconds);
    QString text = pad(ms / 3600000, 2) + QLatin1Char(':') + pad(ms / 60000 % 60, 2) + QLatin1Char(':') +
                   pad(ms / 1000 % 60, 2);
    digits = qBound(0, digits, 3);
    if (digits > 0)
        text += QLatin1Char('.') + pad(ms % 1000, 3).left(digits);
    return milliseconds < 0 ? QLatin1Char('-') + text : text;
}

QString formatElapsed(qint64 milliseconds, bool plain, bool withMilliseconds)
{
    const qint64 ms = std::llabs(milliseconds);
    // The hour field only becomes non-zero from 60 minutes on, by construction.
    const qint64 hours = ms / 3600000;
    const qint64 minutes = ms / 60000 % 60;
    const qint64 seconds = ms / 1000 % 60;
    const int width = plain ? 1 : 2;
    QString text =
        pad(hours, width) + QLatin1Char(':') + pad(minutes, width) + QLatin1Char(':') + pad(seconds, width);
    if (withMilliseconds)
        text += QLatin1Char(':') + pad(ms % 1000, plain ? 1 : 3);
    return milliseconds < 0 ? QLatin1Char('-') + text : text;
}

QString formatFixed4(double value)
{
    const qint64 r = std::llround(value * 10000.0);
    const qint64 integer = r / 10000;
    const qint64 fraction = std::llabs(r % 10000);
    const QString digits = pad(std::llabs(integer), 2) + QLatin1Char('.') + pad(fraction, 4);
    return value < 0 ? QLatin1Char('-') + digits : digits;
}

QString formatTruncated(double value, int decimals)
{
    decimals = qMax(0, decimals);
    const double scale = std::pow(10.0, decimals);
    const double scaled = value * scale;
    double whole = std::floor(scaled);
    // 0.29 * 100 is 28.999999999999996 in binary; truncating that to 0.28 would
    // print a value the user never measured. Within a relative 1e-9 the
    // product is taken to be the whole number it stands for.
    const double nearest = std::round(scaled);
    if (nearest > whole && nearest - scaled <= 1e-9 * qMax(1.0, std::fabs(scaled)))
        whole = nearest;
    double result = whole / scale;
    if (result == 0.0)
        result = 0.0; // no "-0.00"
    return QString::number(result, 'f', decimals);
}

QString makeUniqueEntry(const QString& folder, bool asFile)
{
    QDir().mkpath(folder);
    for (;;) {
        const QString name = QString::number(QDateTime::currentSecsSinceEpoch());
        const QString path = folder + QLatin1Char('/') + name;
        if (!QFileInfo::exists(path)) {
            if (asFile) {
                QFile file(path);
                // NewOnly closes the window between the check and the creation when
                // two threads or processes race for the same second.
                if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                    return path;
            } else if (QDir().mkdir(path)) {
                return path;
            }
            if (!QFileInfo::exists(path))
                return path; // the folder itself is unusable; the caller's open fails visibly
        }
        QThread::msleep(10);
    }
}

void pruneEmptyFolders(const QString& folder)
{
    if (folder.isEmpty())
        return;
    QDir dir(folder);
    const QStringList children =
        dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString& child : children) {
        const QString path = dir.filePath(child);
        pruneEmptyFolders(path);
        QDir sub(path);
        if (sub.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty())
            dir.rmdir(child);
    }
}

bool memoryGuardAllows()
{
    // Relaxed: callers on several threads only need every tenth call, roughly, to look.
    static std::atomic<unsigned> calls{0};
    if ((calls.fetch_add(1, std::memory_order_relaxed) + 1) % 10 != 0)
        return true;
    const qint64 available = platform::availablePhysicalMemory();
    return available < 0 || available >= kLowMemoryBytes;
}

void* guardedAlloc(std::size_t size)
{
    return memoryGuardAllows() ? std::malloc(size) : nullptr;
}

} // namespace kvq
