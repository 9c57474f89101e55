#include "testsupport.h"

#include <QDomDocument>
#include <QTranslator>

#include <gtest/gtest.h>

// The English catalogue is the one users outside China see: a text that lost
// its translation would show up in Chinese.
TEST(Translations, EnglishCatalogueIsCompleteAndCompiled)
{
    QDomDocument doc;
    ASSERT_TRUE(doc.setContent(kvqtest::readAll(KVQ_SOURCE_DIR "/translations/en_US.ts")));
    const QDomNodeList messages = doc.elementsByTagName(QStringLiteral("message"));
    ASSERT_GT(messages.size(), 0);
    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(KVQ_TRANSLATIONS_DIR "/en_US.qm")));
    for (int i = 0; i < messages.size(); ++i) {
        const QDomElement message = messages.at(i).toElement();
        const QString context = message.parentNode().firstChildElement(QStringLiteral("name")).text();
        const QString source = message.firstChildElement(QStringLiteral("source")).text();
        const QDomElement translation = message.firstChildElement(QStringLiteral("translation"));
        EXPECT_FALSE(translation.attribute(QStringLiteral("type")) == QLatin1String("unfinished"))
            << "untranslated: " << source.toStdString();
        EXPECT_EQ(translator.translate(context.toUtf8(), source.toUtf8()), translation.text());
    }
}

TEST(Translations, ChineseCatalogueCompiles)
{
    QTranslator translator;
    EXPECT_TRUE(translator.load(QStringLiteral(KVQ_TRANSLATIONS_DIR "/zh_CN.qm")));
}
