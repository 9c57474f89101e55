#include "app/base/setting.h"
#include "app/qmltypes.h"
#include "testsupport.h"

#include <QJSValue>
#include <QJsonDocument>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

// The settings object exactly as the program declares it (qml/config/Setting.qml),
// with its file in a temporary data folder.
class SettingsFixture {
public:
    SettingsFixture()
    {
        static const bool registered = (kvq::registerQmlTypes(), true);
        (void)registered;
        engine.rootContext()->setContextProperty(QStringLiteral("tempDir"), dir.path());
        QQmlComponent component(&engine);
        component.setData("import QtQml 2.15\nimport \"file://" KVQ_SOURCE_DIR "/qml/config\"\n"
                          "QtObject { property QtObject setting: Setting }",
                          QUrl::fromLocalFile(dir.path() + "/test.qml"));
        holder.reset(component.create());
        if (!holder)
            ADD_FAILURE() << component.errorString().toStdString();
        else
            setting = qobject_cast<Setting*>(holder->property("setting").value<QObject*>());
    }

    QString file() const { return dir.path() + QStringLiteral("//set.ini"); }
    QVariant value(const char* name) const
    {
        QVariant v = setting->property(name);
        return v.userType() == qMetaTypeId<QJSValue>() ? v.value<QJSValue>().toVariant() : v;
    }

    QTemporaryDir dir;
    QQmlEngine engine;
    std::unique_ptr<QObject> holder;
    Setting* setting = nullptr;
};

const char* const kDefaultFile =
    "\n[system]\n"
    "cachePath=\nautoSavePath=\nnotRemindVersion=\n"
    "autoSaveType=0\nautoSave=true\nmeasurementType=0\nautoCollect=true\n"
    "showWithZero=false\nwaveformExtremaVisible=true\n"
    "voltageAlarmMinVal=0\nvoltageAlarmMaxVal=5\nvoltageAlarm=false\nvoltageAlarmSound=false\n"
    "currentAlarmMinVal=0\ncurrentAlarmMaxVal=5\ncurrentAlarm=false\ncurrentAlarmSound=false\n"
    "powerAlarmMinVal=0\npowerAlarmMaxVal=100\npowerAlarm=false\npowerAlarmSound=false\n"
    "infoColor=[]\ninfoLineWidth=[]\ninfoShadow=[]\n";

} // namespace

TEST(Setting, DeclaresTheSettingsInFileOrderAndWritesDefaults)
{
    SettingsFixture f;
    ASSERT_TRUE(f.setting);
    EXPECT_EQ(f.setting->fileName(), f.dir.path() + "//set.ini");
    EXPECT_EQ(f.setting->category(), QStringLiteral("system"));
    f.setting->init(); // no file yet: nothing to load
    const QStringList names = f.setting->settingNames();
    ASSERT_EQ(names.size(), 24);
    EXPECT_EQ(names.first(), QStringLiteral("cachePath"));
    EXPECT_EQ(names.last(), QStringLiteral("infoShadow"));
    EXPECT_FALSE(names.contains(QStringLiteral("fileName")));
    EXPECT_FALSE(names.contains(QStringLiteral("objectName")));
    f.setting->save();
    EXPECT_EQ(kvqtest::readAll(f.file()), QByteArray(kDefaultFile));
}

TEST(Setting, LoadDecodesWhatItCanAndSkipsTheRest)
{
    const struct {
        const char* file;
        const char* name;
        QVariant expected;
    } cases[] = {
        {"[system]\nautoSave=TRUE\n", "autoSave", true},
        {"[system]\nautoCollect=False\n", "autoCollect", false},
        {"[system]\nautoSaveType=1\n", "autoSaveType", 1},
        {"[system]\nvoltageAlarmMaxVal=12.5\n", "voltageAlarmMaxVal", 12.5},
        {"[system]\ncachePath=/tmp/kvq cache\n", "cachePath", "/tmp/kvq cache"},
        {"[system]\nautoSavePath=/data/a=b\n", "autoSavePath", ""}, // "=" inside: three parts, ignored
        {"[system]\nnotRemindVersion=\n", "notRemindVersion", ""},  // empty value ignored
        {"[system]\nCachePath=/x\n", "cachePath", ""},              // names are case-sensitive
        {"[system]\ncachePath /x\n", "cachePath", ""},              // no "=": not an entry
        {"[other]\nautoSaveType=2\n[system]\n", "autoSaveType", 0}, // another section's entry
        {"autoSaveType=2\n[system]\n", "autoSaveType", 0},          // before any section
        {"[system]\n[later]\nautoSaveType=2\n", "autoSaveType", 0}, // after the own section ended
        {"[system]\r\nautoSaveType=3\r\n", "autoSaveType", 3},      // Windows line ends
        {"[system]\ninfoColor=[\"#FF00FF00\"]\n", "infoColor", QVariantList{"#FF00FF00"}},
        {"[system]\ninfoLineWidth=[1,2,,]\n", "infoLineWidth", QVariantList{}}, // broken JSON list
        {"[system]\ninfoShadow={\"a\":1}\n", "infoShadow", QVariantMap{{"a", 1}}},
        {"[system]\ninfoShadow={broken}\n", "infoShadow", QVariantMap{}},
        {"\x01\x02garbage\xff\n[system]\nshowWithZero=true\n", "showWithZero", true},
    };
    for (const auto& c : cases) {
        SettingsFixture f;
        ASSERT_TRUE(f.setting);
        ASSERT_TRUE(kvqtest::writeAll(f.file(), c.file));
        f.setting->init();
        const QVariant actual = f.value(c.name);
        if (c.expected.type() == QVariant::Double || c.expected.type() == QVariant::Int)
            EXPECT_EQ(actual.toDouble(), c.expected.toDouble()) << c.file;
        else if (c.expected.type() == QVariant::List || c.expected.type() == QVariant::Map)
            EXPECT_EQ(QJsonDocument::fromVariant(actual), QJsonDocument::fromVariant(c.expected)) << c.file;
        else
            EXPECT_EQ(actual, c.expected) << c.file << " got " << actual.toString().toStdString();
    }
}

TEST(Setting, SaveKeepsOtherSectionsAndMovesItsOwnToTheEnd)
{
    SettingsFixture f;
    ASSERT_TRUE(f.setting);
    ASSERT_TRUE(kvqtest::writeAll(f.file(), "[window]\nx=10\n\n[system]\nautoSave=false\nstale=1\n"
                                            "[plugins]\nlist=[1,2]\npath=a=b\n"));
    f.setting->init();
    f.setting->setProperty("cachePath", QStringLiteral("/cache/新建"));
    f.setting->setProperty("voltageAlarmMaxVal", 0.1);
    f.setting->setProperty("infoLineWidth", QVariantList{1, 2, 5});
    f.setting->save();
    const QString text = QString::fromUtf8(kvqtest::readAll(f.file()));
    EXPECT_TRUE(text.startsWith("[window]\nx=10\n[plugins]\nlist=[1,2]\npath=a=b\n\n[system]\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("\ncachePath=/cache/新建\n"));
    EXPECT_TRUE(text.contains("\nautoSave=false\n"));
    EXPECT_TRUE(text.contains("\nvoltageAlarmMaxVal=0.1\n"));
    EXPECT_TRUE(text.contains("\ninfoLineWidth=[1,2,5]\n"));
    EXPECT_FALSE(text.contains("stale"));
    EXPECT_EQ(text.count("[system]"), 1);

    // And everything comes back as it was saved.
    f.holder.reset();
    SettingsFixture again;
    ASSERT_TRUE(kvqtest::writeAll(again.file(), text.toUtf8()));
    again.setting->init();
    EXPECT_EQ(again.value("cachePath").toString(), QStringLiteral("/cache/新建"));
    EXPECT_EQ(again.value("autoSave").toBool(), false);
    EXPECT_DOUBLE_EQ(again.value("voltageAlarmMaxVal").toDouble(), 0.1);
    EXPECT_EQ(again.value("infoLineWidth").toList(), (QVariantList{1, 2, 5}));
}

TEST(Setting, LockFlagStopsSaving)
{
    SettingsFixture f;
    ASSERT_TRUE(f.setting);
    f.setting->init();
    f.setting->save();
    const QByteArray before = kvqtest::readAll(f.file());
    f.setting->lockSave();
    EXPECT_TRUE(f.setting->islock());
    f.setting->setProperty("autoSaveType", 1);
    f.setting->save();
    EXPECT_EQ(kvqtest::readAll(f.file()), before);
    f.setting->unlockSave();
    EXPECT_FALSE(f.setting->islock());
    f.setting->save();
    EXPECT_TRUE(kvqtest::readAll(f.file()).contains("\nautoSaveType=1\n"));
}

TEST(Setting, LoadNotifiesEvenWhenTheValueEqualsTheDefault)
{
    SettingsFixture f;
    ASSERT_TRUE(f.setting);
    ASSERT_TRUE(kvqtest::writeAll(f.file(), "[system]\nautoSave=true\ncachePath=/c\n"));
    QSignalSpy autoSave(f.setting, SIGNAL(autoSaveChanged()));
    QSignalSpy cachePath(f.setting, SIGNAL(cachePathChanged()));
    QSignalSpy autoCollect(f.setting, SIGNAL(autoCollectChanged()));
    f.setting->init();
    EXPECT_EQ(autoSave.count(), 1);
    EXPECT_GE(cachePath.count(), 1);
    EXPECT_EQ(autoCollect.count(), 0); // not in the file: untouched
}

TEST(Setting, NoFileNameOrSectionMeansNoFile)
{
    SettingsFixture f;
    ASSERT_TRUE(f.setting);
    f.setting->init();
    QSignalSpy changed(f.setting, &Setting::categoryChanged);
    f.setting->setCategory(QString());
    f.setting->setCategory(QString()); // unchanged: no second signal
    EXPECT_EQ(changed.count(), 1);
    f.setting->save();
    EXPECT_FALSE(QFile::exists(f.file()));
}
