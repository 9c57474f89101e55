#include "files/busfile.h"

#include "app/base/helpers.h"

#include <QStringList>

namespace kvq::decode {

QByteArray formatBusFile(const std::vector<MessageBus>& messages)
{
    QByteArray out;
    bool first = true;
    float lastV = 0, lastI = 0;
    for (const MessageBus& m : messages) {
        if (!first && m.vbus == lastV && m.ibus == lastI)
            continue;
        if (!first)
            out += "\r\n";
        out += "sample=" + QByteArray::number(m.startSample) +
               ",vbus=" + QByteArray::number(double(m.vbus), 'f', 3) +
               ",ibus=" + QByteArray::number(double(m.ibus), 'f', 3);
        lastV = m.vbus;
        lastI = m.ibus;
        first = false;
    }
    return out;
}

namespace {

bool parseValue(QString text, const QString& unit, float* out)
{
    text = text.trimmed();
    if (text.endsWith(unit, Qt::CaseInsensitive))
        text.chop(1);
    bool ok = false;
    *out = text.trimmed().toFloat(&ok);
    return ok;
}

} // namespace

std::vector<BusSample> parseBusFile(const QString& text)
{
    std::vector<BusSample> samples;
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        BusSample s;
        if (line.startsWith(QLatin1String("sample="), Qt::CaseInsensitive)) {
            bool haveSample = false, haveV = false, haveI = false;
            for (const QString& part : line.split(QLatin1Char(','))) {
                const QStringList kv = part.split(QLatin1Char('='));
                if (kv.size() != 2)
                    continue;
                const QString key = kv[0].trimmed().toLower();
                const QString value = kv[1].trimmed();
                if (key == QLatin1String("sample"))
                    s.key = value.toLongLong(&haveSample);
                else if (key == QLatin1String("vbus"))
                    s.vbus = value.toFloat(&haveV);
                else if (key == QLatin1String("ibus"))
                    s.ibus = value.toFloat(&haveI);
            }
            if (haveSample && haveV && haveI && s.key >= 0)
                samples.push_back(s);
            continue;
        }
        const QStringList parts = line.split(QLatin1Char(','));
        if (parts.size() != 2)
            continue;
        const QString time = parts[0].trimmed();
        qint64 ms = parseClockTime(time);
        if (ms < 0) {
            bool ok = false;
            ms = time.toLongLong(&ok);
            if (!ok)
                continue;
        }
        const QStringList values = parts[1].split(QLatin1Char('/'));
        if (values.size() != 2 || ms < 0)
            continue;
        s.timed = true;
        s.key = ms;
        if (parseValue(values[0], QStringLiteral("V"), &s.vbus) &&
            parseValue(values[1], QStringLiteral("A"), &s.ibus))
            samples.push_back(s);
    }
    return samples;
}

} // namespace kvq::decode
