#include "app/base/setting.h"

#include <QFile>
#include <QJSValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSaveFile>
#include <QTextStream>

namespace {

bool isHeader(const QString& line)
{
    return line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'));
}

QStringList readLines(const QString& path, bool* ok)
{
    QStringList lines;
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly | QIODevice::Text);
    if (!*ok)
        return lines;
    QTextStream in(&file);
    in.setCodec("UTF-8");
    while (!in.atEnd())
        lines.append(in.readLine());
    return lines;
}

} // namespace

Setting::Setting(QObject* parent) : QObject(parent) {}

void Setting::setFileName(const QString& fileName)
{
    if (fileName == m_fileName)
        return;
    m_fileName = fileName;
    emit fileNameChanged();
}

void Setting::setCategory(const QString& category)
{
    if (category == m_category)
        return;
    m_category = category;
    emit categoryChanged();
}

QString Setting::header() const
{
    return QLatin1Char('[') + m_category + QLatin1Char(']');
}

void Setting::init()
{
    m_settings.clear();
    const QMetaObject* meta = metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (property.isReadable() && !property.isStored())
            m_settings.append(property);
    }
    load();
}

QStringList Setting::settingNames() const
{
    QStringList names;
    for (const QMetaProperty& property : m_settings)
        names.append(QString::fromLatin1(property.name()));
    return names;
}

QVariant Setting::decodeValue(const QString& text)
{
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']'))) {
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
        return doc.isArray() ? doc.array().toVariantList() : QVariantList();
    }
    if (text.startsWith(QLatin1Char('{')) && text.endsWith(QLatin1Char('}'))) {
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
        return doc.isObject() ? doc.object().toVariantMap() : QVariantMap();
    }
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    return text;
}

QString Setting::encodeValue(const QVariant& stored)
{
    QVariant value = stored;
    if (value.userType() == qMetaTypeId<QJSValue>())
        value = value.value<QJSValue>().toVariant();
    switch (static_cast<int>(value.type())) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return QString::fromUtf8(
            QJsonDocument(QJsonArray::fromVariantList(value.toList())).toJson(QJsonDocument::Compact));
    case QMetaType::QVariantMap:
        return QString::fromUtf8(
            QJsonDocument(QJsonObject::fromVariantMap(value.toMap())).toJson(QJsonDocument::Compact));
    default:
        return value.toString();
    }
}

void Setting::load()
{
    if (m_fileName.isEmpty() || m_category.isEmpty() || !QFile::exists(m_fileName))
        return;
    bool ok = false;
    const QStringList lines = readLines(m_fileName, &ok);
    if (!ok)
        return;
    const QString own = header();
    bool inside = false;
    for (const QString& line : lines) {
        if (isHeader(line)) {
            if (inside)
                break;
            inside = line == own;
            continue;
        }
        if (!inside || !line.contains(QLatin1Char('=')))
            continue;
        const QStringList parts = line.split(QLatin1Char('='));
        if (parts.size() != 2 || parts.at(1).isEmpty())
            continue;
        for (const QMetaProperty& property : qAsConst(m_settings)) {
            if (parts.at(0) != QLatin1String(property.name()))
                continue;
            property.write(this, decodeValue(parts.at(1)));
            // Listeners must hear about every loaded setting, also when the stored
            // value equals the default and the write itself stayed silent.
            const QMetaMethod notify = property.notifySignal();
            if (notify.isValid())
                notify.invoke(this, Qt::DirectConnection);
            break;
        }
    }
}

void Setting::save()
{
    if (m_fileName.isEmpty() || m_category.isEmpty() || m_locked)
        return;
    QStringList kept;
    if (QFile::exists(m_fileName)) {
        bool ok = false;
        const QStringList lines = readLines(m_fileName, &ok);
        if (!ok)
            return; // rewriting now would drop the sections we could not read
        const QString own = header();
        bool inside = false;
        for (const QString& line : lines) {
            if (isHeader(line))
                inside = line == own;
            if (!inside && !line.isEmpty())
                kept.append(line);
        }
    }
    // Written beside the old file and renamed over it, so that a failed write
    // (full disk, vanished folder) leaves the previous settings and the other
    // sections in place instead of an empty or missing file.
    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    QTextStream out(&file);
    out.setCodec("UTF-8");
    for (const QString& line : qAsConst(kept))
        out << line << '\n';
    out << '\n' << header() << '\n';
    for (const QMetaProperty& property : qAsConst(m_settings))
        out << property.name() << '=' << encodeValue(property.read(this)) << '\n';
    out.flush();
    file.commit();
}
