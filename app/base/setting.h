#pragma once

#include <QMetaProperty>
#include <QObject>
#include <QString>
#include <QVector>

// Persists the properties that the UI declares on it in one section of an
// INI-like text file. The settings are found by introspection: every readable
// property that is not marked stored, which is how the QML engine describes
// the properties a QML document adds.
class Setting : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString fileName READ fileName WRITE setFileName NOTIFY fileNameChanged)
    Q_PROPERTY(QString category READ category WRITE setCategory NOTIFY categoryChanged)

public:
    explicit Setting(QObject* parent = nullptr);

    QString fileName() const { return m_fileName; }
    void setFileName(const QString& fileName);
    QString category() const { return m_category; }
    void setCategory(const QString& category);

    Q_INVOKABLE void init();
    Q_INVOKABLE void load();
    Q_INVOKABLE void save();
    Q_INVOKABLE bool islock() const { return m_locked; }
    Q_INVOKABLE void lockSave() { m_locked = true; }
    Q_INVOKABLE void unlockSave() { m_locked = false; }

    // Names of the settings found by init(), in declaration order.
    QStringList settingNames() const;

    // Text form of a value as it is written after "=".
    static QString encodeValue(const QVariant& value);
    // Value of the text after "=" as load() assigns it.
    static QVariant decodeValue(const QString& text);

signals:
    void fileNameChanged();
    void categoryChanged();

private:
    QString header() const;

    QString m_fileName;
    QString m_category;
    QVector<QMetaProperty> m_settings;
    bool m_locked = false;
};
