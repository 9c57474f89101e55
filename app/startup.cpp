#include "app/startup.h"

#include "app/appcontext.h"
#include "app/base/folders.h"
#include "app/base/helpers.h"
#include "app/base/logging.h"
#include "app/base/platform/platform.h"
#include "app/base/platform/quitsignals.h"
#include "app/core.h"
#include "app/menustyle.h"
#include "app/qmltypes.h"
#include "version.h"

#include "app/base/sharedmemoryhelper.h"
#include "app/windowerror.h"
#include "crash/crashhandler.h"
#include "decode/decodecontroller.h"
#include "decode/runtime.h"
#include "device/devicehost.h"
#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/simulation.h"
#include "waveform/segment.h"
#include "waveform/waveformdata.h"

#include <QApplication>
#include <QDebug>
#include <QFontDatabase>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QResource>
#include <QStandardPaths>

#include <cstdarg>
#include <cstdio>
#include <memory>

namespace kvq {
namespace {

// The decoder library's log lines become program log lines (not flushed at once).
int decoderLog(void*, int, const char* format, va_list args)
{
    char line[2048];
    std::vsnprintf(line, sizeof(line), format, args);
    writeLog(QString::fromUtf8(line));
    return 0;
}

// 0 ready, 1 the runtime could not start, 2 the decoders could not be loaded.
int startDecoders()
{
    kvq_log_callback_set(&decoderLog, nullptr);
    kvq_log_loglevel_set(2);
    return kvq::decode::startDecoderRuntime(QCoreApplication::applicationDirPath());
}

const char* const kMainQml = "qrc:/qml/main.qml";

void loadApplicationFonts()
{
    // Fonts come from Debian's font packages, bundled at build time into a
    // binary resource beside the program under the names the UI asks for.
    QResource::registerResource(QCoreApplication::applicationDirPath() + QStringLiteral("/fonts.rcc"));
    QFont font = QGuiApplication::font();
    int uiFont = -1;
    for (const char* path : {":/resource/JetBrainsMono-SemiBold.ttf", ":/resource/OPPOSans-B.ttf"}) {
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(path));
        if (id >= 0 && QByteArray(path).endsWith("OPPOSans-B.ttf"))
            uiFont = id;
    }
    const QStringList families = uiFont >= 0 ? QFontDatabase::applicationFontFamilies(uiFont) : QStringList();
    if (families.isEmpty())
        return;
    font.setFamily(families.first());
    QGuiApplication::setFont(font);
}

} // namespace

int runMainProgram(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);

    // Taken before the application exists, so that no organisation or
    // application name finds its way into the path.
    const QString dataLocation = platform::appDataLocation();

    QApplication app(argc, argv);
    // --simulate: an emulated meter on a virtual bus stands in for the real
    // bus, which is then never touched.
    const bool simulate = QCoreApplication::arguments().contains(QStringLiteral("--simulate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KVQ_APP_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Korvanex"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvanex.com"));
    QCoreApplication::setApplicationName(QStringLiteral("KVQ-M View"));
    QApplication::setStyle(new MenuStyle);

    const AppFolders folders =
        formAppFolders(dataLocation, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));

    startLog(folders.log);
    QBreakpadHandler::instance()->setDumpPath(folders.crash);
    loadApplicationFonts();
    // The locale codec stays UTF-8 here: on Linux it also encodes file names,
    // and a legacy codec would garble every non-ASCII path.

    registerQmlTypes();
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);

    // Held by pointer so that the QML objects (a session controller among them)
    // are gone before the stores they use are torn down at exit.
    auto enginePtr = std::make_unique<QQmlApplicationEngine>();
    QQmlApplicationEngine& engine = *enginePtr;
    qDebug().noquote() << folders.data;
    QQmlContext* context = engine.rootContext();
    context->setContextProperty(QStringLiteral("tempDir"), folders.data);

    AppContext* appContext = AppContext::instance();
    Core::Options options;
    options.simulate = simulate;
    options.cacheDir = folders.temp;
    Core core(options);
    SharedMemoryHelper& shared = core.shared();
    const QUrl mainUrl(QString::fromLatin1(kMainQml));
    QObject::connect(&engine, &QQmlApplicationEngine::objectCreated, &app,
                     [appContext, context, mainUrl](QObject* object, const QUrl& url) {
                         if (!object && url == mainUrl) {
                             QCoreApplication::exit(-1);
                             return;
                         }
                         if (object && !appContext->root) {
                             appContext->root = object;
                             context->setContextProperty(QStringLiteral("setRoot"), 1);
                         }
                     });
    appContext->application = &app;
    appContext->engine = &engine;

    context->setContextProperty(QStringLiteral("app_VERSION"), QStringLiteral(KVQ_APP_VERSION));
    context->setContextProperty(QStringLiteral("app_VERSION_NUM"), KVQ_APP_VERSION_NUM);

    const QStringList info = systemInfoLines();
    for (int i = 0; i < info.size(); ++i)
        writeLog(info.at(i), i == 0);

    const int decodeInitCode = startDecoders();
    context->setContextProperty(QStringLiteral("windowType"), 1);
    context->setContextProperty(QStringLiteral("decode_init_code"), decodeInitCode);
    context->setContextProperty(QStringLiteral("setRoot"), QVariant::fromValue<QObject*>(nullptr));
    context->setContextProperty(QStringLiteral("appName"), QStringLiteral("KVQ-M View"));
    context->setContextProperty(QStringLiteral("tempPath"), makeCleanPath(folders.temp));
    context->setContextProperty(QStringLiteral("autoSavePath"), makeCleanPath(folders.autoSave));

    platform::installQuitSignalHandler(&app, [appContext] {
        // Same road as the user's close button, so shutdown work runs once.
        if (auto* window = qobject_cast<QWindow*>(appContext->root))
            window->close();
        else
            QCoreApplication::quit();
    });

    // The connector starts once the QML exists, so that its messages have a window.
    std::unique_ptr<DeviceHost> deviceHost;
    QObject::connect(&engine, &QQmlApplicationEngine::objectCreated, &app, [&](QObject* object, const QUrl&) {
        if (!object || deviceHost)
            return;
        appContext->windowError = object->findChild<WindowError*>(QStringLiteral("windowError"));
        deviceHost = std::make_unique<DeviceHost>(&core.slot(), &shared, appContext->windowError);
        context->setContextProperty(QStringLiteral("deviceHost"), deviceHost.get());
        shared.registerInstance();
        deviceHost->start();
    });
    context->setContextProperty(QStringLiteral("deviceHost"), QVariant::fromValue<QObject*>(nullptr));

    engine.load(mainUrl);
    // A failed load reports before the event loop runs, where exit() has no effect.
    if (!appContext->root) {
        closeLog();
        return -1;
    }
    const int code = app.exec();
    deviceHost.reset();
    enginePtr.reset();
    appContext->engine = nullptr;
    appContext->root = nullptr;
    appContext->windowError = nullptr;
    shared.unregisterInstance();
    closeLog();
    return code;
}

} // namespace kvq
