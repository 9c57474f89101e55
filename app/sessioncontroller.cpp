#include "app/sessioncontroller.h"

#include "app/appcontext.h"
#include "app/base/logging.h"
#include "decode/decodecontroller.h"
#include "device/usbcontrol.h"
#include "files/autosave.h"
#include "files/protocolfile.h"
#include "files/sigrokfile.h"
#include "files/threadwork.h"
#include "files/waveformfile.h"
#include "protocol/threadread.h"
#include "waveform/acquisition.h"
#include "waveform/segment.h"
#include "waveform/statistics.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMediaPlayer>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <mutex>
#include <shared_mutex>

using namespace kvq;
using namespace kvq::waveform;

namespace {

QString defaultAutoSaveFolder()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    return QDir::cleanPath(documents + QStringLiteral("/Korvanex/KVQ-M/AutoSave"));
}

} // namespace

namespace {
QString repairPath(QString path)
{
    if (path.startsWith(QLatin1String("file://")))
        path = QUrl(path).toLocalFile();
    return QDir::cleanPath(path.replace(QLatin1Char('\\'), QLatin1Char('/')));
}
} // namespace

SessionController::SessionController(QObject* parent) : QObject(parent)
{
    AppContext* context = AppContext::instance();
    for (int c : {Voltage, Current, Power})
        m_style[size_t(c)].visible = true;
    setAutoSavePath(QString());
    m_player = new QMediaPlayer(this);
    m_player->setMedia(QUrl(QStringLiteral("qrc:/resource/static/beep.mp3")));
    acquisition().stop.type = 0;
    m_usb = context->deviceSlot;
    m_segment = context->segment;
    m_store = context->waveformData;
    m_worker = new ThreadWork;
    m_reader = new ThreadRead(m_segment, m_store);
    m_reader->setLiveBus(context->liveBus);
    m_decoder = context->decodeController;
    if (m_decoder) {
        connect(this, &SessionController::sendPtlAnalysisStart, m_decoder,
                &kvq::decode::DecodeController::decodeSegment, Qt::QueuedConnection);
        connect(m_decoder, &kvq::decode::DecodeController::sendDecodeDataAppend, this,
                &SessionController::sendDecodeDataAppend);
        connect(m_decoder, &kvq::decode::DecodeController::sendSegmentLog, this,
                &SessionController::sendSegmentLog);
    }

    connect(this, &SessionController::sendReadThreadStart, m_reader, &ThreadRead::readLoop);
    connect(m_reader, &ThreadRead::sendCLineInputInfo, this, &SessionController::sendCLineInputInfo);
    connect(m_reader, &ThreadRead::sendViewIndex, this, &SessionController::sendViewIndex);
    connect(m_reader, &ThreadRead::sendWaveformDataSPS, this, [this](QString sps) {
        AppContext::instance()->sampleRate = sps.toInt(); // the rate the meter reported
        emit sendWaveformDataSPS(sps);
    });
    connect(m_reader, &ThreadRead::sendTriggerModel, this, &SessionController::sendTriggerModel);
    connect(m_reader, &ThreadRead::sendTriggerFastPtl, this, &SessionController::sendTriggerFastPtl);
    connect(m_reader, &ThreadRead::sendFastPtlInfo, this, &SessionController::sendFastPtlInfo);
    connect(m_reader, &ThreadRead::sendLangSet, this, &SessionController::sendLangSet);
    connect(m_reader, &ThreadRead::sendOfflineRecordInfo, this, &SessionController::sendOfflineRecordInfo);
    connect(m_reader, &ThreadRead::sendOfflineRecordDelete, this,
            &SessionController::sendOfflineRecordDelete);
    connect(m_reader, &ThreadRead::sendDataRecordSwitch, this, &SessionController::sendDataRecordSwitch);
    connect(m_reader, &ThreadRead::sendPtlAnalysisState, this, &SessionController::sendPtlAnalysisState);
    connect(m_reader, &ThreadRead::sendClearFastPtlInfo, this, &SessionController::sendClearFastPtlInfo);
    connect(m_reader, &ThreadRead::sendSegmentLog, this, &SessionController::sendSegmentLog);
    connect(m_reader, &ThreadRead::sendPDMonitorInfo, this,
            [this](QString protocol, QString power, QString source, QString position, QString voltage,
                   QString current, QString temperature) {
                m_pdInfo = QStringList{protocol, power, source, position, voltage, current, temperature};
                emit sendWaveformDataChanged();
            });
    connect(this, &SessionController::SigSaveWaveFormDataThread, m_worker, &ThreadWork::saveWaveFormFile,
            Qt::QueuedConnection);
    connect(this, &SessionController::SigReadWaveFormDataThread, m_worker, &ThreadWork::readWaveFormFile,
            Qt::QueuedConnection);
    connect(m_worker, &ThreadWork::sendSegmentLog, this, &SessionController::sendSegmentLog);
    connect(m_worker, &ThreadWork::sendThreadProgressType, this, &SessionController::sendThreadProgressType);
    connect(m_worker, &ThreadWork::sendThreadProgress, this, &SessionController::sendThreadProgress);
    if (m_store) {
        connect(m_store, &WaveformData::waveformDataChanged, this,
                &SessionController::sendWaveformDataChanged);
        connect(m_store, &WaveformData::sendSegmentLog, this, &SessionController::sendSegmentLog);
        connect(m_store, &WaveformData::overallAlarm, this, &SessionController::overallAlarm);
        connect(m_store, &WaveformData::trigStop, this, &SessionController::sendWaveformDataStop);
    }
}

SessionController::~SessionController()
{
    m_reader->stopAndWait();
    delete m_reader;
    m_worker->stop();
    delete m_worker;
    if (AppContext::instance()->waveformData == m_store)
        AppContext::instance()->waveformData = nullptr;
    retire(m_store);
}

usb::USBControl* SessionController::device() const
{
    return m_usb ? m_usb->device() : nullptr;
}

void SessionController::setAutoSave(bool on)
{
    if (on == m_autoSave)
        return;
    m_autoSave = on;
    if (m_running || !on) {
        if (on)
            openAutoSave();
        else
            closeAutoSave();
    }
    emit autoSaveChanged();
}

void SessionController::setAutoSaveType(int type)
{
    if (type == m_autoSaveType)
        return;
    m_autoSaveType = type;
    emit autoSaveTypeChanged();
}

void SessionController::retire(WaveformData* store)
{
    if (!store)
        return;
    // The reader and a file job stop on the closing flag within a read or
    // 100 rows; the store goes only once the last of them has let go.
    store->closeAndWait();
    delete store;
}

void SessionController::newSampleStore(const std::function<void(WaveformData&)>& prepare)
{
    auto* fresh = new WaveformData(m_autoSaveType);
    fresh->setRate(acquisition().uploadRate.load());
    for (int c = 0; c < ChannelCount; ++c)
        fresh->setStyle(c, m_style[size_t(c)]);
    fresh->setStartTime(QDateTime::currentDateTime());
    if (prepare)
        prepare(*fresh);
    AppContext::instance()->waveformData = fresh;
    WaveformData* old = m_store;
    m_store = fresh;
    // Ready before the reader may append to it; the reader aims at the new
    // store before the old one is retired.
    m_reader->rebindStore(fresh);
    retire(old);
    if (m_segment)
        m_segment->setRate(1000);
    for (QString& text : m_pdInfo)
        text.clear();
    connect(fresh, &WaveformData::waveformDataChanged, this, &SessionController::sendWaveformDataChanged);
    connect(fresh, &WaveformData::sendSegmentLog, this, &SessionController::sendSegmentLog);
    connect(fresh, &WaveformData::overallAlarm, this, &SessionController::overallAlarm);
    connect(fresh, &WaveformData::trigStop, this, &SessionController::sendWaveformDataStop);
}

void SessionController::applyStyles()
{
    if (!m_store)
        return;
    for (int c = 0; c < ChannelCount; ++c)
        m_store->setStyle(c, m_style[size_t(c)]);
}

void SessionController::initDevice(qint8, qint8 mainViewIndex, bool isBoot)
{
    m_reader->stopAndWait();
    newSampleStore();
    m_running = false;
    m_newStoreNeeded = true;
    if (isBoot)
        return;
    emit sendReadThreadStart(device(), 8);
    emit sendSegmentLog(tr("自动保存路径：") + m_autoSavePath, 1);
    if (usb::USBControl* usb = device()) {
        usb->setViewIndex(-1);
        usb->setUploadRate(-1);
        usb->setDataRecordPage(mainViewIndex);
    }
}

void SessionController::removeDevice()
{
    m_running = false;
    m_reader->requestStop();
    for (QString& text : m_pdInfo)
        text.clear();
    emit sendWaveformDataChanged();
}

void SessionController::setWaveFormDataShow(int index, bool show)
{
    if (m_store && index >= 0 && index < ChannelCount) {
        ChannelStyle style = m_store->styles()[size_t(index)];
        style.visible = show;
        m_store->setStyle(index, style);
        m_style = m_store->styles();
    }
    if (m_store) {
        emit m_store->legendChanged();
        emit m_store->waveformDataChanged();
    }
}

QJsonObject SessionController::statistics(int channel)
{
    return m_store ? totalStatistics(*m_store, channel) : QJsonObject();
}
QJsonObject SessionController::getVoltageStatistics()
{
    return statistics(Voltage);
}
QJsonObject SessionController::getElectricStatistics()
{
    return statistics(Current);
}
QJsonObject SessionController::getPowerStatistics()
{
    return statistics(Power);
}

QJsonObject SessionController::getBasicInfo()
{
    QJsonObject info;
    const int decimals = acquisition().decimals.load();
    // Follows the decimals in force now: a file load switches to five.
    const QString noData = QStringLiteral("0.") + QString(decimals, QLatin1Char('0'));
    if (m_store) {
        std::shared_lock<std::shared_mutex> lock(m_store->lock());
        info.insert(QStringLiteral("direction"), m_store->direction());
        for (int c = 0; c < ChannelCount; ++c) {
            const bool line = c >= DPlus && c <= CC2;
            const qint64 n = m_store->channelCount(c);
            info.insert(QString::fromLatin1(kChannelKeys[c]),
                        n == 0
                            ? noData
                            : QString::number(double(m_store->values(c)[n - 1]), 'f', line ? 3 : decimals));
        }
    }
    static const char* const keys[7] = {"pdProtocol", "pdPower",   "pdSource",     "pdPosition",
                                        "pdVoltage",  "pdCurrent", "pdTemperature"};
    for (int i = 0; i < 7; ++i)
        info.insert(QString::fromLatin1(keys[i]), m_pdInfo.value(i));
    return info;
}

void SessionController::setAlarmData(QJsonObject json)
{
    WaveformData* store = m_store;
    m_reader->alarms().setAlarmData(
        json, store, [store](bool p, bool c, bool v, bool sound, const QString& msg, const QString& color) {
            if (store)
                emit store->overallAlarm(p, c, v, sound, msg, color);
        });
}

void SessionController::getSetViewIndex(qint8 index)
{
    if (usb::USBControl* usb = device())
        usb->setViewIndex(index);
}

void SessionController::applyUploadRate(int rate)
{
    if (rate <= 0)
        return;
    acquisition().uploadRate = rate;
    AppContext::instance()->sampleRate = rate;
    if (m_store)
        m_store->applyRate(rate);
    emit sendWaveformDataSPS(QString::number(rate));
}

void SessionController::getSetUploadSPS(qint8 index)
{
    usb::USBControl* usb = device();
    if (!usb || !usb->setUploadRate(index))
        return;
    static const int rates[7] = {2, 4, 20, 50, 200, 500, 1000};
    if (index >= 0 && index <= 6)
        applyUploadRate(rates[index]);
}

bool SessionController::startProtocolParsing(uchar state)
{
    usb::USBControl* usb = device();
    if (!usb)
        return false;
    AppContext* context = AppContext::instance();
    if (state == 1) {
        m_busSamples.clear();
        if (m_decoder)
            m_decoder->setBusList(nullptr);
        if (m_segment) {
            m_segment->writePos = 0;
            m_segment->clearCapture();
            m_reader->rebindSegment(m_segment);
        }
        context->sampleRate =
            m_store && m_store->rate() >= 1 ? m_store->rate() : acquisition().uploadRate.load();
        emit sendDecodeDataClear();
    } else if (state == 0) {
        if (m_decoder)
            m_decoder->stopDecode();
        applyUploadRate(context->sampleRate.load());
        if (m_decoder)
            m_decoder->waitDecodeStopped();
    }
    return usb->setPdAnalysis(qint8(state));
}

void SessionController::setRate(uint rate)
{
    if (!m_decoder)
        return;
    m_decoder->initSession();
    m_decoder->setSampleRate(rate);
    emit sendPtlAnalysisStart(m_segment);
}

bool SessionController::saveProtocolData(QString filePath)
{
    if (!m_segment || !m_decoder)
        return false;
    const QString path = repairPath(filePath);
    std::vector<kvq::decode::MessageBus> bus;
    {
        std::lock_guard<std::mutex> lock(m_decoder->listLock());
        bus.reserve(m_decoder->messages().size());
        for (const kvq::decode::PdMessage& m : m_decoder->messages())
            bus.push_back({m.startSample, m.vbus, m.ibus});
    }
    const kvq::files::ProtocolFileResult result =
        kvq::files::saveProtocolFile(*m_segment, bus, path, AppContext::instance()->cacheDir);
    emit sendSegmentLog(result.message, result.ok ? 1 : 0);
    return result.ok;
}

bool SessionController::readProtocolData(QString filePath)
{
    if (!m_segment || !m_decoder)
        return false;
    const QString path = repairPath(filePath);
    prepareCaptureLoad();
    const kvq::files::ProtocolFileResult result =
        kvq::files::readProtocolFile(*m_segment, path, AppContext::instance()->cacheDir, &m_busSamples);
    for (const QString& warning : result.warnings)
        emit sendSegmentLog(warning, 0);
    emit sendSegmentLog(result.message, result.ok ? 1 : 0);
    if (!result.ok)
        return false;
    decodeLoadedCapture();
    return true;
}

bool SessionController::readSigrokSession(QString filePath, QString probe)
{
    if (!m_segment || !m_decoder)
        return false;
    const QString path = repairPath(filePath);
    prepareCaptureLoad();
    const kvq::files::SigrokImport imported = kvq::files::importSigrokSession(path, probe, *m_segment);
    if (!imported.ok) {
        emit sendSegmentLog(imported.error, 0);
        return false;
    }
    emit sendSegmentLog(tr("加载协议文件：") + path, 1);
    decodeLoadedCapture();
    return true;
}

void SessionController::prepareCaptureLoad()
{
    m_decoder->stopDecode();
    m_decoder->waitDecodeStopped();
    m_segment->clearCapture();
    m_reader->rebindSegment(m_segment);
    m_busSamples.clear();
    m_decoder->setBusList(nullptr);
}

void SessionController::decodeLoadedCapture()
{
    m_decoder->setBusList(&m_busSamples);
    m_decoder->initSession();
    m_decoder->setSampleRate(quint64(m_segment->rate()) * 1000);
    emit sendPtlAnalysisStart(m_segment);
}

bool SessionController::startUpload()
{
    usb::USBControl* usb = device();
    if (!usb || !usb->setUpload(true))
        return false;
    m_reader->setUploadFlag(true);
    m_running = true;
    return true;
}

bool SessionController::stopUpload()
{
    usb::USBControl* usb = device();
    if (!usb || !usb->setUpload(false))
        return false;
    m_running = false;
    m_reader->setUploadFlag(false);
    if (LiveBus* bus = AppContext::instance()->liveBus) {
        std::lock_guard<std::mutex> lock(bus->lock);
        bus->vbus = bus->ibus = LiveBus::kUnset;
    }
    return true;
}

bool SessionController::startAcquisition(bool alwaysNewStore)
{
    const int rate = acquisition().uploadRate.load();
    if (!device() || rate < 1)
        return false;
    acquisition().stop.armedAtMs = 0;
    if (alwaysNewStore || m_newStoreNeeded || (m_store && m_store->isOffline())) {
        m_newStoreNeeded = false;
        if (m_running) {
            if (!stopUpload())
                return true; // still running
            QThread::msleep(200);
            closeAutoSave();
        }
        newSampleStore([rate](WaveformData& store) {
            store.setOffline(false, 0, 0);
            store.setLastTime(-(1000 / rate));
        });
        openAutoSave();
    }
    return startUpload();
}

bool SessionController::startWaveFormDataUp(uchar state)
{
    if (state == 1)
        return startAcquisition(false);
    if (!device() || acquisition().uploadRate.load() < 1)
        return false;
    return stopUpload();
}

bool SessionController::reStartWaveFormDataUp()
{
    return startAcquisition(true);
}

void SessionController::openAutoSave()
{
    if (!m_store)
        return;
    const QString name = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh-mm-ss"));
    if (!files::openAutoSaveFile(*m_store, m_autoSavePath, name, m_autoSave))
        emit sendSegmentLog(tr("自动保存创建文件失败。"), 0);
}

void SessionController::closeAutoSave()
{
    if (m_store)
        files::closeAutoSaveFile(*m_store);
}

bool SessionController::saveWaveFormData(QString path)
{
    if (m_running || !m_store)
        return false;
    path = repairPath(path);
    emit sendSegmentLog(tr("保存波形文件：") + path, 1);
    // The CSV recording stands in for the store only when a CSV file is asked for.
    if (files::waveformFileType(path) == 0 && !m_store->csvPath.isEmpty() &&
        QFile::exists(m_store->csvPath)) {
        m_store->flushAutoSave();
        if (QFile::copy(m_store->csvPath, path))
            return true;
    }
    emit SigSaveWaveFormDataThread(path, m_store->hold(), files::waveformFileType(path));
    return true;
}

bool SessionController::readWaveFormData(QString path)
{
    if (m_running)
        return false;
    path = repairPath(path);
    newSampleStore();
    m_newStoreNeeded = true;
    m_store->setOffline(false, 0, 0);
    acquisition().decimals = 5;
    m_store->setStartTime(QDateTime::currentDateTime());
    emit SigReadWaveFormDataThread(path, m_store->hold(), files::waveformFileType(path));
    return true;
}

void SessionController::triggerProtocol(uchar index, QString model, ushort step, uchar stat)
{
    usb::USBControl* usb = device();
    if (!usb)
        return;
    if (model.isEmpty())
        usb->triggerPlain(qint8(index));
    else
        usb->triggerFull(qint8(index), model, step, stat);
}

void SessionController::autoProtocol()
{
    if (usb::USBControl* usb = device())
        usb->autoDetect();
}

void SessionController::languageSettings(uchar index)
{
    if (usb::USBControl* usb = device())
        usb->setDeviceLanguage(qint8(index));
}

bool SessionController::getOfflineRecordInfo()
{
    usb::USBControl* usb = device();
    return usb && usb->queryOfflineRecords();
}

void SessionController::getOfflineRecordData(uchar index, double offlineCapacity, double offlineEnergy,
                                             ushort totalCount, uint interval, uchar type)
{
    usb::USBControl* usb = device();
    if (!usb)
        return;
    newSampleStore([&](WaveformData& store) {
        store.setOffline(true, int(interval), type);
        store.setEnergyTotal(offlineEnergy / 1000.0);
        store.setCapacityTotal(offlineCapacity / 1000.0);
        store.setLastTime(-qint64(interval));
    });
    usb->requestOfflineData(qint8(index), totalCount);
}

void SessionController::offlineRecordDataRemove(uchar index)
{
    if (usb::USBControl* usb = device())
        usb->deleteOfflineRecord(qint8(index));
}

void SessionController::dataRecordSwitch(uchar index)
{
    if (usb::USBControl* usb = device())
        usb->setDataRecordPage(qint8(index));
}

void SessionController::ptlAnalysisState(uchar index)
{
    if (usb::USBControl* usb = device())
        usb->setPdAnalysis(qint8(index));
}

void SessionController::enterBootload()
{
    if (usb::USBControl* usb = device())
        usb->enterBootloader();
}

bool SessionController::hasBeepSound() const
{
    return m_player && m_player->isAvailable() && m_player->error() == QMediaPlayer::NoError;
}

void SessionController::beep()
{
    if (!hasBeepSound()) {
        QApplication::beep(); // no media service (or no sound output): the system beep
        return;
    }
    m_player->setPosition(0);
    m_player->play();
}

void SessionController::setWaveformColor(QVariantList colors)
{
    if (colors.size() != ChannelCount)
        return;
    for (int c = 0; c < ChannelCount; ++c)
        m_style[size_t(c)].colour = QColor(colors[c].toString());
    applyStyles();
    if (m_store)
        emit m_store->waveformDataChanged();
}

void SessionController::setWaveformLineWidth(QVariantList widths)
{
    if (widths.size() != ChannelCount)
        return;
    for (int c = 0; c < ChannelCount; ++c)
        m_style[size_t(c)].lineWidth = quint8(widths[c].toInt());
    applyStyles();
    if (m_store)
        emit m_store->waveformDataChanged();
}

void SessionController::setWaveformShadow(QVariantList shadows)
{
    if (shadows.size() != ChannelCount)
        return;
    for (int c = 0; c < ChannelCount; ++c)
        m_style[size_t(c)].shadow = shadows[c].toInt() != 0;
    applyStyles();
    if (m_store)
        emit m_store->waveformDataChanged();
}

void SessionController::appendLog(QString log)
{
    writeLog(log);
}

void SessionController::setShowWithZero(bool showWithZero)
{
    if (!m_store)
        return;
    acquisition().showWithZero = showWithZero;
    emit m_store->waveformDataChanged();
}

void SessionController::setAutoSavePath(QString path)
{
    path = path.trimmed();
    if (!path.isEmpty())
        path = QDir::cleanPath(path.replace(QLatin1Char('\\'), QLatin1Char('/')));
    if (path.isEmpty())
        path = defaultAutoSaveFolder();
    m_autoSavePath = path;
    QDir().mkpath(path);
}

void SessionController::stopWork()
{
    m_worker->stop();
}

void SessionController::setStopTrig(int type, double num, int time)
{
    StopCondition& stop = acquisition().stop;
    stop.type = type;
    stop.threshold = num;
    stop.durationMs = qint64(time) * 1000;
    stop.armedAtMs = 0;
}
