#include "protocol/threadread.h"

#include "app/base/logging.h"
#include "device/usbcontrol.h"
#include "protocol/frames.h"
#include "protocol/reports.h"
#include "waveform/acquisition.h"
#include "waveform/segment.h"
#include "waveform/waveformdata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

using namespace kvq;
using namespace kvq::protocol;
using kvq::waveform::Segment;
using kvq::waveform::WaveformData;

ThreadRead::ThreadRead(Segment* segment, WaveformData* store)
    : m_thread(new QThread), m_segment(segment), m_store(store)
{
    qRegisterMetaType<kvq::usb::USBControl*>("kvq::usb::USBControl*");
    m_thread->setObjectName(QStringLiteral("ThreadRead"));
    m_thread->start();
    moveToThread(m_thread);
}

ThreadRead::~ThreadRead()
{
    m_running = false;
    m_thread->quit();
    m_thread->wait(15000);
    delete m_thread;
    QObject::disconnect(this, nullptr, nullptr, nullptr);
}

void ThreadRead::rebindStore(WaveformData* store)
{
    std::lock_guard<std::mutex> lock(m_bindLock);
    m_store = store;
}

void ThreadRead::rebindSegment(Segment* segment)
{
    std::lock_guard<std::mutex> lock(m_bindLock);
    m_segment = segment;
}

void ThreadRead::refreshHolds()
{
    // Under the bind lock: a store that is no longer the target is never taken
    // again, so once the controller has rebound, retiring the old one is safe.
    std::lock_guard<std::mutex> lock(m_bindLock);
    if (m_passSegment && (m_passSegment.get() != m_segment || m_passSegment->isClearing()))
        m_passSegment.reset();
    if (!m_passSegment && m_segment)
        m_passSegment = m_segment->hold();
    if (m_passStore && (m_passStore.get() != m_store || m_passStore->closing.load()))
        m_passStore.reset();
    if (!m_passStore && m_store)
        m_passStore = m_store->hold();
}

void ThreadRead::releaseHolds()
{
    std::lock_guard<std::mutex> lock(m_bindLock);
    m_passSegment.reset();
    m_passStore.reset();
}

void ThreadRead::readLoop(kvq::usb::USBControl* usb, int maxTransferSize)
{
    if (!usb)
        return;
    writeLog(QStringLiteral("读取线程创建"));
    ++m_active;
    ++usb->busy;
    m_running = true;
    QByteArray bytes;
    m_scanner.reset(); // a new stream
    while (m_running) {
        refreshHolds();
        if (!m_passSegment || !m_passStore) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(10); // no events on this thread: do not spin
            continue;
        }
        if (usb->read(bytes, 200, maxTransferSize)) {
            m_scanner.feed(reinterpret_cast<const uint8_t*>(bytes.constData()), bytes.size(),
                           [this](const ReportFrame& f) {
                               if (m_running)
                                   dispatch(f.code, f.payload, f.length);
                           });
        } else if (usb->stopped) {
            m_running = false;
        }
    }
    releaseHolds();
    --usb->busy;
    --m_active;
    writeLog(QStringLiteral("读取线程退出"));
}

void ThreadRead::lengthError(int code, int length)
{
    writeLog(lengthErrorText(code, length));
}

AlarmMonitor::Announce ThreadRead::announcer(WaveformData* store)
{
    return [store](bool power, bool current, bool voltage, bool sound, const QString& msg,
                   const QString& color) {
        if (store)
            emit store->overallAlarm(power, current, voltage, sound, msg, color);
    };
}

void ThreadRead::setAlarm(AlarmMonitor::Quantity q, double min, double max, bool enabled, bool sound)
{
    WaveformData* store = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_bindLock);
        store = m_store;
    }
    m_alarms.setAlarm(q, min, max, enabled, sound, store, announcer(store));
}

void ThreadRead::setVoltageAlarm(double min, double max, bool enabled, bool sound)
{
    setAlarm(AlarmMonitor::Voltage, min, max, enabled, sound);
}
void ThreadRead::setCurrentAlarm(double min, double max, bool enabled, bool sound)
{
    setAlarm(AlarmMonitor::Current, min, max, enabled, sound);
}
void ThreadRead::setPowerAlarm(double min, double max, bool enabled, bool sound)
{
    setAlarm(AlarmMonitor::Power, min, max, enabled, sound);
}

void ThreadRead::measurement(const uint8_t* payload)
{
    WaveformData* store = activeStore();
    if (!store || store->isOffline())
        return;
    store->setDirection(payload[56] & 1);
    const int rate = store->rate() > 0 ? store->rate() : acquisition().uploadRate.load();
    const Measurement m = decodeMeasurement(payload, rate, acquisition().decimals.load());
    const AlarmMonitor::Announce announce = announcer(store);
    for (int k = 0; k < m.count; ++k) {
        const MeasurementSample& s = m.samples[k];
        m_alarms.evaluate(s.voltage, s.current, *store, announce);
        if (m_uploadFlag) {
            if (LiveBus* bus = m_liveBus.load()) {
                std::lock_guard<std::mutex> lock(bus->lock);
                bus->vbus = float(s.voltage);
                bus->ibus = float(s.current);
            }
        }
        store->appendSample(float(s.voltage), float(s.current), s.dPlus, s.dMinus, s.cc1, s.cc2);
    }
}

void ThreadRead::offlineData(const uint8_t* payload, int length)
{
    WaveformData* store = activeStore();
    if (!store || !store->isOffline()) {
        writeLog(QStringLiteral("非离线数据模式，无法接收离线数据。"));
        return;
    }
    for (const auto& [v, a] :
         decodeOfflineSamples(payload, length, store->offlineFormat(), acquisition().decimals.load()))
        store->appendVoltageCurrent(float(v), float(a));
}

void ThreadRead::captureData(const uint8_t* payload, int length)
{
    Segment* segment = activeSegment();
    if (!segment)
        return;
    const std::int64_t at = segment->writePos.fetch_add(length);
    const int result = segment->writeBytes(0, at, payload, length, false);
    const char* text = nullptr;
    switch (result) {
    case 0:
        return;
    case 1:
        text = QT_TR_NOOP("内存溢出，请使用64位软件或更高配置电脑！");
        break;
    case 2:
        text = QT_TR_NOOP("数据异常，采集中止！");
        break;
    case 3:
        text = QT_TR_NOOP("数据超出限定值，无法继续采集！");
        break;
    default:
        text = QT_TR_NOOP("内存映射文件创建失败，请检查缓存目录访问权限！");
        break;
    }
    emit sendSegmentLog(tr(text), 0);
}

void ThreadRead::dispatch(int code, const uint8_t* p, int n)
{
    const auto accept = [&](bool ok) {
        if (!ok)
            lengthError(code, n);
        return ok;
    };
    switch (code) {
    case RptViewIndex:
        if (accept(n == 4))
            emit sendViewIndex(QString::number(p[0]));
        break;
    case RptUploadRate:
        if (accept(n == 4)) {
            const int rate = uploadRateOfCode(p[1]);
            acquisition().uploadRate = rate;
            if (WaveformData* store = activeStore()) {
                store->applyRate(rate);
                emit store->legendChanged();
            }
            emit sendWaveformDataSPS(QString::number(rate));
        }
        break;
    case RptMeasurement:
        if (n == 2)
            break; // the meter's keep-alive: ignored without a word
        if (accept(n == 57))
            measurement(p);
        break;
    case RptTrigger:
        if (accept(n == 21 || n == 22)) {
            const TriggerResult r = decodeTrigger(p, n);
            if (r.success)
                emit sendTriggerModel(r.models);
            emit sendTriggerFastPtl(r.success, QString::number(r.protocol), r.adjustable,
                                    QString::number(r.prog), QString::number(r.step), QString::number(r.min),
                                    QString::number(r.max), QString::number(r.maxCurrent), r.selected);
        }
        break;
    case RptDetectLog:
        if (accept(n >= 5)) {
            const DetectionLine line = decodeDetection(p, n);
            emit sendFastPtlInfo(QString::number(line.protocol), line.success, line.text);
        }
        break;
    case RptLanguage:
        if (accept(n == 2) && p[1] == 0)
            emit sendLangSet(QString::number(int8_t(p[0])));
        break;
    case RptOfflineInfo:
        if (accept(n == 21)) {
            const OfflineRecordInfo r = decodeOfflineInfo(p);
            emit sendOfflineRecordInfo(QString::number(r.count), QString::number(r.index),
                                       QString::number(r.interval), QString::number(r.totalTime),
                                       QString::number(r.totalCount), QString::number(double(r.mah), 'g', 6),
                                       QString::number(double(r.mwh), 'g', 6), QString::number(r.type));
        }
        break;
    case RptOfflineData:
        if (accept(n >= 4))
            offlineData(p, n);
        break;
    case RptOfflineDelete:
        if (accept(n == 2))
            emit sendOfflineRecordDelete(p[0] == 5 ? QStringLiteral("-1") : QString::number(int8_t(p[0])));
        break;
    case RptDataRecordPage:
        if (accept(n == 2))
            emit sendDataRecordSwitch(QString::number(int8_t(p[0])));
        break;
    case RptPdState:
        if (accept(n == 6)) {
            const int state = int8_t(p[0]);
            const quint32 rate =
                quint32(p[2]) | quint32(p[3]) << 8 | quint32(p[4]) << 16 | quint32(p[5]) << 24;
            if (state == 1) {
                acquisition().uploadRate = 20;
                if (WaveformData* store = activeStore())
                    store->applyRate(20);
                emit sendWaveformDataSPS(QStringLiteral("20"));
            }
            if (Segment* segment = activeSegment())
                segment->setRate(rate / 1000);
            emit sendPtlAnalysisState(QString::number(state), QString::number(rate));
        }
        break;
    case RptPdData:
        if (accept(n >= 2))
            captureData(p, n);
        break;
    case RptEnterBootloader:
        if (accept(n == 1) && p[0] != 0)
            qDebug("跳入Boot失败");
        break;
    case RptPdMonitor:
        if (accept(n == 55)) {
            const QStringList t = decodePdMonitor(p);
            emit sendPDMonitorInfo(t[0], t[1], t[2], t[3], t[4], t[5], t[6]);
        }
        break;
    case RptCableInfo:
        if (accept(n == 10))
            emit sendCLineInputInfo(QString::number(p[0]), p[1] != 0);
        break;
    case RptClearDetect:
        if (accept(n == 2))
            emit sendClearFastPtlInfo();
        break;
    default:
        break;
    }
}
