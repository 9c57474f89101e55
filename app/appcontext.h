#pragma once

#include <QtGlobal>

class QApplication;
class QObject;
class QQmlApplicationEngine;

// The process-wide context of the main program: created on first access during
// start-up, used on the GUI thread only, never destroyed before the process ends.
class AppContext {
public:
    static AppContext* instance();

    QApplication* application = nullptr;
    QQmlApplicationEngine* engine = nullptr;
    // Upload rate of the meter in samples per second, as last applied.
    qint32 sampleRate = 0;
    // The QML error object ("windowError"), once the main window has set it.
    QObject* windowError = nullptr;
    // The QML root object, once the engine has created it.
    QObject* root = nullptr;

private:
    AppContext() = default;
};
