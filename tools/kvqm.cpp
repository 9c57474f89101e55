// kvqm: the KVQ-M from the command line. Same core as the program: the USB
// transport, the connector's handshake, the session controller, the report
// reader and the waveform files.
#include "app/appcontext.h"
#include "app/base/platform/quitsignals.h"
#include "app/base/sharedmemoryhelper.h"
#include "app/core.h"
#include "app/sessioncontroller.h"
#include "device/connectdevice.h"
#include "device/usbcontrol.h"
#include "device/virtualbus.h"
#include "emulator/simulation.h"
#include "files/autosave.h"
#include "files/threadwork.h"
#include "files/waveformfile.h"
#include "protocol/threadread.h"
#include "tools/decodecommand.h"
#include "waveform/acquisition.h"
#include "waveform/segment.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMutex>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>

using namespace kvq;
using namespace kvq::waveform;

namespace {

const char* const kUsage =
    "usage: kvqm [--simulate] COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  devices                         list the meters on the USB bus\n"
    "  info                            connect and print the meter's information as JSON\n"
    "  record -o FILE.csv|FILE.sqlite3 [--rate SPS] [--seconds N] [--stop-if "
    "power|current|voltage<X:SECONDS]\n"
    "                                  record live measurements; Ctrl-C ends with the file complete\n"
    "  offline list                    list the recordings kept in the meter\n"
    "  offline get N -o FILE           download recording N into a waveform file\n"
    "  offline delete N|all            delete recording N, or all of them\n"
    "  convert IN OUT                  convert a waveform file between CSV and SQLite\n"
    "  decode FILE.kvqcc|FILE.sr [--probe NAME] [--format table|csv|json]\n"
    "                                  print the USB-PD messages of a protocol file or a\n"
    "                                  sigrok session (the probe with traffic by default)\n"
    "\n"
    "--simulate talks to an emulated meter instead of the USB bus. --help after a command\n"
    "prints this text.\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "kvqm: %s\n", qPrintable(message));
    return 1;
}

void say(const QString& line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// Runs the event loop until `done` holds or `ms` pass; false on time-out.
template <typename F> bool waitFor(F done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5); // processEvents returns at once when nothing is queued
    }
    return true;
}

bool isWaveformFile(const QString& path)
{
    return path.endsWith(QLatin1String(".csv")) || path.endsWith(QLatin1String(".sqlite3"));
}

Core::Options coreOptions(bool simulate, const QString& cacheDir)
{
    Core::Options options;
    options.simulate = simulate;
    options.cacheDir = cacheDir;
    return options;
}

// The program's core (the same wiring as the window's) with kvqm's connection and session.
struct Tool {
    QTemporaryDir cache;
    Core core;
    QMutex deviceMutex;
    std::unique_ptr<ConnectDevice> connector;
    std::unique_ptr<SessionController> controller;

    explicit Tool(bool simulate) : core(coreOptions(simulate, cache.path())) {}
    ~Tool()
    {
        controller.reset();
        connector.reset();
    }

    // The program's own connection: handshake and all. Returns the information.
    bool connect(QJsonObject* info, QString* error)
    {
        connector = core.makeConnector(nullptr);
        bool connected = false, answered = false;
        QObject::connect(
            connector.get(), &ConnectDevice::SendDeviceCreanInfo, connector.get(),
            [&](int, QJsonObject json, bool ok) {
                *info = json;
                connected = ok;
                answered = true;
            },
            Qt::DirectConnection);
        QMetaObject::invokeMethod(
            connector.get(), [this] { connector->onDevicePlug(&core.shared(), &deviceMutex, true, true); },
            Qt::BlockingQueuedConnection);
        if (!answered) {
            *error = core.slot().device()
                         ? QStringLiteral("the meter did not answer")
                         : QStringLiteral("no meter found (is it plugged in, and may this user open it?)");
            return false;
        }
        if (!connected) {
            *error = info->value(QStringLiteral("msg")).toString(QStringLiteral("the meter went away"));
            return false;
        }
        return true;
    }

    SessionController& session(const QJsonObject& info)
    {
        controller = core.makeSession();
        controller->setAutoSave(false);
        controller->initDevice(qint8(info.value(QStringLiteral("decimals")).toInt(4)), 0,
                               info.value(QStringLiteral("isBoot")).toBool());
        return *controller;
    }
};

int devices(bool simulate)
{
    Tool tool(simulate);
    std::vector<usb::USBDeviceEntry> entries = usb::listDevices(tool.core.slot().backend());
    if (entries.empty())
        say(QStringLiteral("no meter found"));
    for (const usb::USBDeviceEntry& e : entries) {
        libusb_device_descriptor d{};
        tool.core.slot().backend().getDeviceDescriptor(e.device, &d);
        say(QStringLiteral("port %1  %2:%3  bus %4")
                .arg(e.portId)
                .arg(d.idVendor, 4, 16, QLatin1Char('0'))
                .arg(d.idProduct, 4, 16, QLatin1Char('0'))
                .arg(tool.core.slot().backend().getBusNumber(e.device)));
    }
    usb::releaseEntries(tool.core.slot().backend(), entries);
    return 0;
}

int info(bool simulate)
{
    Tool tool(simulate);
    QJsonObject json;
    QString error;
    if (!tool.connect(&json, &error))
        return fail(error);
    say(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented)).trimmed());
    return 0;
}

int rateCode(int sps)
{
    const int rates[7] = {2, 4, 20, 50, 200, 500, 1000};
    for (int i = 0; i < 7; ++i)
        if (rates[i] == sps)
            return i;
    return -1;
}

int record(bool simulate, const QStringList& args)
{
    QString output;
    int rate = 1000;
    double seconds = 0;
    int stopType = 0;
    double stopValue = 0;
    int stopSeconds = 0;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const QString value = args.value(i + 1);
        if (a == QLatin1String("-o") && i + 1 < args.size()) {
            output = value;
            ++i;
        } else if (a == QLatin1String("--rate") && i + 1 < args.size()) {
            rate = value.toInt();
            if (rateCode(rate) < 0)
                return fail(QStringLiteral("--rate takes 2, 4, 20, 50, 200, 500 or 1000"));
            ++i;
        } else if (a == QLatin1String("--seconds") && i + 1 < args.size()) {
            bool ok = false;
            seconds = value.toDouble(&ok);
            if (!ok || seconds <= 0)
                return fail(QStringLiteral("--seconds takes a positive number"));
            ++i;
        } else if (a == QLatin1String("--stop-if") && i + 1 < args.size()) {
            // e.g. power<0.5:10 — below 0.5 W for 10 s
            const QStringList parts = value.split(QRegExp(QStringLiteral("[<:]")));
            const QStringList kinds{QStringLiteral("power"), QStringLiteral("current"),
                                    QStringLiteral("voltage")};
            bool valueOk = false, timeOk = false;
            if (parts.size() == 3) {
                stopType = kinds.indexOf(parts[0]) + 1;
                stopValue = parts[1].toDouble(&valueOk);
                stopSeconds = parts[2].toInt(&timeOk);
            }
            if (parts.size() != 3 || stopType == 0 || !valueOk || !timeOk || stopSeconds < 0)
                return fail(
                    QStringLiteral("--stop-if takes power|current|voltage<VALUE:SECONDS, e.g. power<0.5:10"));
            ++i;
        } else {
            return fail(QStringLiteral("record: unknown argument '%1' (see kvqm --help)").arg(a));
        }
    }
    if (output.isEmpty() || !isWaveformFile(output))
        return fail(QStringLiteral("record needs -o FILE.csv or -o FILE.sqlite3"));
    const QFileInfo target(output);
    if (!QDir().mkpath(target.absolutePath()) || !QFileInfo(target.absolutePath()).isWritable())
        return fail(QStringLiteral("cannot write into %1").arg(target.absolutePath()));

    Tool tool(simulate);
    QJsonObject json;
    QString error;
    if (!tool.connect(&json, &error))
        return fail(error);
    SessionController& session = tool.session(json);
    session.setAutoSaveType(files::waveformFileType(output));
    bool rateSet = false;
    QObject::connect(&session, &SessionController::sendWaveformDataSPS, &session,
                     [&](QString sps) { rateSet = sps.toInt() == rate; });
    session.getSetUploadSPS(qint8(rateCode(rate)));
    if (!waitFor([&] { return rateSet; }, 3000))
        return fail(QStringLiteral("the meter did not take the rate %1").arg(rate));
    if (stopType)
        session.setStopTrig(stopType, stopValue, stopSeconds);
    if (!session.startWaveFormDataUp(1))
        return fail(QStringLiteral("the meter did not start measuring"));
    WaveformData* store = session.store();
    // The recording goes to the named file: the same writer as auto-save.
    if (!files::openAutoSaveFile(*store, target.absolutePath(), target.completeBaseName(), true))
        return fail(QStringLiteral("cannot create %1").arg(output));
    QObject::connect(store, &WaveformData::sendSegmentLog, store, [](QString log, int state) {
        if (state == 0)
            std::fprintf(stderr, "kvqm: %s\n", qPrintable(log));
    });

    bool stop = false;
    QString reason = QStringLiteral("time is up");
    platform::installQuitSignalHandler(QCoreApplication::instance(), [&] {
        stop = true;
        reason = QStringLiteral("interrupted");
    });
    QObject::connect(&session, &SessionController::sendWaveformDataStop, &session, [&] {
        stop = true;
        reason = QStringLiteral("stop condition met");
    });
    bool writeFailed = false;
    QObject::connect(store, &WaveformData::autoSaveFailed, store, [&] {
        stop = writeFailed = true;
        reason = QStringLiteral("write failed");
    });
    // An event loop, not a polling one: the recording itself must stay cheap.
    QElapsedTimer clock;
    clock.start();
    qint64 nextLine = 1000;
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (stop || (seconds > 0 && clock.elapsed() >= qint64(seconds * 1000))) {
            loop.quit();
            return;
        }
        if (clock.elapsed() < nextLine)
            return;
        nextLine += 1000;
        const QJsonObject live = session.getBasicInfo();
        std::shared_lock<std::shared_mutex> lock(store->lock());
        say(QStringLiteral("%1 s  %2 V  %3 A  %4 W  %5 samples")
                .arg(clock.elapsed() / 1000)
                .arg(live.value(QStringLiteral("voltage")).toString(),
                     live.value(QStringLiteral("electric")).toString(),
                     live.value(QStringLiteral("power")).toString())
                .arg(store->count()));
    });
    tick.start(50);
    loop.exec();
    session.startWaveFormDataUp(0);
    waitFor([] { return false; }, 300); // reports still on their way
    const files::AutoSaveEnd end = files::closeAutoSaveFile(*store);
    if (end.failed || writeFailed)
        return fail(QStringLiteral("%1: could not write %2; it holds the first %3 samples")
                        .arg(reason)
                        .arg(output)
                        .arg(end.rowsInFile));
    say(QStringLiteral("%1: %2 samples in %3").arg(reason).arg(end.rowsInFile).arg(output));
    return 0;
}

// Runs one job of the file worker; returns its log line and state.
std::pair<QString, int> fileJob(bool save, const QString& path, WaveformData* store)
{
    ThreadWork worker;
    QString log;
    int state = 0;
    bool ended = false;
    QObject::connect(
        &worker, &ThreadWork::sendSegmentLog, &worker,
        [&](QString text, int s) {
            log = text;
            state = s;
        },
        Qt::DirectConnection);
    QObject::connect(
        &worker, &ThreadWork::sendThreadProgressType, &worker, [&](int type) { ended = type == -1; },
        Qt::DirectConnection);
    QMetaObject::invokeMethod(&worker, save ? "saveWaveFormFile" : "readWaveFormFile",
                              Qt::BlockingQueuedConnection, Q_ARG(QString, path),
                              Q_ARG(kvq::waveform::StoreHold, store->hold()),
                              Q_ARG(qint8, files::waveformFileType(path)));
    Q_UNUSED(ended);
    return {log, state};
}

int convert(const QStringList& args)
{
    if (args.size() != 2)
        return fail(QStringLiteral("convert takes IN and OUT"));
    const QString in = args[0], out = args[1];
    if (!isWaveformFile(in) || !isWaveformFile(out))
        return fail(QStringLiteral("convert works on .csv and .sqlite3 files"));
    if (!QFileInfo::exists(in))
        return fail(QStringLiteral("%1 does not exist").arg(in));
    if (QFileInfo(in).absoluteFilePath() == QFileInfo(out).absoluteFilePath())
        return fail(QStringLiteral("IN and OUT are the same file"));
    WaveformData store;
    const auto [readLog, readOk] = fileJob(false, in, &store);
    if (!readOk)
        return fail(readLog);
    if (files::waveformFileType(out) == 1 && QFileInfo::exists(out) && !QFile::remove(out))
        return fail(QStringLiteral("cannot replace %1").arg(out)); // a database would be appended to
    const auto [saveLog, saveOk] = fileJob(true, out, &store);
    if (!saveOk)
        return fail(saveLog);
    say(QStringLiteral("%1 samples: %2 -> %3").arg(store.count()).arg(in, out));
    return 0;
}

int offline(bool simulate, const QStringList& args)
{
    const QString what = args.value(0);
    if (what != QLatin1String("list") && what != QLatin1String("get") && what != QLatin1String("delete"))
        return fail(QStringLiteral("offline takes list, get N -o FILE or delete N|all"));
    QString output;
    int index = -1;
    if (what != QLatin1String("list")) {
        const QString n = args.value(1);
        bool ok = false;
        index = n == QLatin1String("all") && what == QLatin1String("delete") ? 5 : n.toInt(&ok);
        if (index != 5 && (!ok || index < 0 || index > 4))
            return fail(
                QStringLiteral("offline %1 needs a record number 0..4%2")
                    .arg(what, what == QLatin1String("delete") ? QStringLiteral(" or all") : QString()));
        if (what == QLatin1String("get")) {
            if (args.value(2) != QLatin1String("-o") || !isWaveformFile(args.value(3)))
                return fail(QStringLiteral("offline get N needs -o FILE.csv or -o FILE.sqlite3"));
            output = args.value(3);
        }
    }
    Tool tool(simulate);
    QJsonObject json;
    QString error;
    if (!tool.connect(&json, &error))
        return fail(error);
    SessionController& session = tool.session(json);

    if (what == QLatin1String("delete")) {
        bool done = false;
        QObject::connect(&session, &SessionController::sendOfflineRecordDelete, &session,
                         [&] { done = true; });
        session.offlineRecordDataRemove(uchar(index));
        if (!waitFor([&] { return done; }, 3000))
            return fail(QStringLiteral("the meter did not confirm the deletion"));
        say(index == 5 ? QStringLiteral("all records deleted")
                       : QStringLiteral("record %1 deleted").arg(index));
        return 0;
    }

    struct Record {
        int count, index;
        uint interval, totalTime;
        ushort totalCount;
        double mah, mwh;
        uchar type;
    };
    std::vector<Record> records;
    int expected = -1;
    QObject::connect(&session, &SessionController::sendOfflineRecordInfo, &session,
                     [&](QString count, QString i, QString interval, QString totalTime, QString totalCount,
                         QString mah, QString mwh, QString type) {
                         expected = count.toInt();
                         if (expected > 0)
                             records.push_back({count.toInt(), i.toInt(), interval.toUInt(),
                                                totalTime.toUInt(), ushort(totalCount.toUInt()),
                                                mah.toDouble(), mwh.toDouble(), uchar(type.toUInt())});
                     });
    session.getOfflineRecordInfo();
    if (!waitFor([&] { return expected == 0 || (expected > 0 && int(records.size()) >= expected); }, 3000))
        return fail(QStringLiteral("the meter did not list its records"));
    if (what == QLatin1String("list")) {
        if (records.empty())
            say(QStringLiteral("no records"));
        for (const Record& r : records)
            say(QStringLiteral("%1  %2 samples every %3 ms, %4 s, %5 mAh, %6 mWh")
                    .arg(r.index)
                    .arg(r.totalCount)
                    .arg(r.interval)
                    .arg(r.totalTime)
                    .arg(r.mah)
                    .arg(r.mwh));
        return 0;
    }
    const auto it =
        std::find_if(records.begin(), records.end(), [index](const Record& r) { return r.index == index; });
    if (it == records.end())
        return fail(QStringLiteral("the meter has no record %1").arg(index));
    session.getOfflineRecordData(uchar(index), it->mah, it->mwh, it->totalCount, it->interval, it->type);
    WaveformData* store = session.store();
    const auto count = [store] {
        std::shared_lock<std::shared_mutex> lock(store->lock());
        return store->count();
    };
    if (!waitFor([&] { return count() >= it->totalCount; }, 30000))
        return fail(QStringLiteral("record %1 arrived incomplete (%2 of %3 samples)")
                        .arg(index)
                        .arg(count())
                        .arg(it->totalCount));
    const auto [log, ok] = fileJob(true, output, store);
    if (!ok)
        return fail(log);
    say(QStringLiteral("record %1: %2 samples in %3").arg(index).arg(count()).arg(output));
    return 0;
}

} // namespace

// The core's debug and warning lines are for the program's developers (each
// failure reaches the user as kvqm's one line); KVQM_DEBUG=1 shows them.
void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    static const bool verbose = qEnvironmentVariableIsSet("KVQM_DEBUG");
    if ((type == QtDebugMsg || type == QtWarningMsg) && !verbose)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvqm"));
    // The command line speaks English, the core's messages included.
    QTranslator english;
    if (english.load(QStringLiteral(":/translations/en_US.qm")))
        app.installTranslator(&english);
    QStringList args = app.arguments().mid(1);
    const bool simulate = args.removeAll(QStringLiteral("--simulate")) > 0;
    if (args.isEmpty() || args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 2 : 0;
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("devices") && args.isEmpty())
        return devices(simulate);
    if (command == QLatin1String("info") && args.isEmpty())
        return info(simulate);
    if (command == QLatin1String("record"))
        return record(simulate, args);
    if (command == QLatin1String("offline"))
        return offline(simulate, args);
    if (command == QLatin1String("convert"))
        return convert(args);
    if (command == QLatin1String("decode"))
        return decodeCommand(args);
    return fail(QStringLiteral("unknown command '%1' (see kvqm --help)")
                    .arg((QStringList{command} + args).join(' ')));
}
