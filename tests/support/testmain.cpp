#include <QGuiApplication>

#include <gtest/gtest.h>

// Every test program gets an application object (QML and fonts need a GUI one;
// the offscreen platform keeps it headless).
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
