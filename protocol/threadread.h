#pragma once

// The report reader: on a thread of its own it reads the meter's report
// stream while a device is connected, splits it into frames and turns every
// report into samples, capture bytes or signals.

#include "app/base/usecount.h"
#include "protocol/alarms.h"
#include "protocol/frames.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

class QThread;

namespace kvq {
struct LiveBus;
namespace usb {
class USBControl;
}
namespace waveform {
class Segment;
class WaveformData;
} // namespace waveform
} // namespace kvq

class ThreadRead : public QObject {
    Q_OBJECT

public:
    ThreadRead(kvq::waveform::Segment* segment, kvq::waveform::WaveformData* store);
    ~ThreadRead() override;

    void requestStop() { m_running = false; }
    // True from the start of the loop until it has let go of its stores and
    // of the device.
    bool isBusy() const { return m_active.load() > 0; }
    // Ends the loop and waits until it has let go (within one read).
    void stopAndWait()
    {
        m_running = false;
        m_active.waitIdle();
    }
    void setUploadFlag(bool upload) { m_uploadFlag = upload; }
    // The stores the loop writes into from now on (the session controller's
    // current ones). Only the loop takes and gives back holds: at the top of
    // each pass it lets go of a store that is no longer the target or is
    // closing, and takes the target. Rebind before retiring the old store.
    void rebindStore(kvq::waveform::WaveformData* store);
    void rebindSegment(kvq::waveform::Segment* segment);
    // Where live VBUS/IBUS go while uploading (the decode pipeline's); may be null.
    void setLiveBus(kvq::LiveBus* bus) { m_liveBus = bus; }

    void setVoltageAlarm(double min, double max, bool enabled, bool sound);
    void setCurrentAlarm(double min, double max, bool enabled, bool sound);
    void setPowerAlarm(double min, double max, bool enabled, bool sound);
    kvq::protocol::AlarmMonitor& alarms() { return m_alarms; }

    // One report, as the loop dispatches it (public for tests and replay).
    void dispatch(int code, const std::uint8_t* payload, int length);

public slots:
    void readLoop(kvq::usb::USBControl* usb, int maxTransferSize);

signals:
    void sendViewIndex(QString index);
    void sendWaveformDataSPS(QString sps);
    void sendTriggerModel(QString model);
    void sendTriggerFastPtl(bool trigSuc, QString trigPtl, bool adjustable, QString prog, QString step,
                            QString min, QString max, QString maxCurrent, QString selectPtl);
    void sendFastPtlInfo(QString index, bool suc, QString info);
    void sendLangSet(QString index);
    void sendOfflineRecordInfo(QString count, QString index, QString interval, QString totalTime,
                               QString totalCount, QString mah, QString mwh, QString type);
    void sendOfflineRecordDelete(QString index);
    void sendDataRecordSwitch(QString index);
    void sendPtlAnalysisState(QString state, QString rate);
    void sendPDMonitorInfo(QString protocol, QString power, QString source, QString position, QString voltage,
                           QString current, QString temperature);
    void sendCLineInputInfo(QString cc, bool input);
    void sendClearFastPtlInfo();
    void sendSegmentLog(QString log, int state = 1);

private:
    void lengthError(int code, int length);
    void measurement(const std::uint8_t* payload);
    void offlineData(const std::uint8_t* payload, int length);
    void captureData(const std::uint8_t* payload, int length);
    void setAlarm(kvq::protocol::AlarmMonitor::Quantity q, double min, double max, bool enabled, bool sound);
    kvq::protocol::AlarmMonitor::Announce announcer(kvq::waveform::WaveformData* store);
    // The stores a report goes to: those the loop holds, or the targets when
    // a report is dispatched outside the loop (tests, replay).
    kvq::waveform::WaveformData* activeStore() const { return m_passStore ? m_passStore.get() : m_store; }
    kvq::waveform::Segment* activeSegment() const { return m_passSegment ? m_passSegment.get() : m_segment; }
    // Moves the loop's holds to the current targets (loop thread).
    void refreshHolds();
    void releaseHolds();

    QThread* m_thread;
    std::mutex m_bindLock; // the two targets
    kvq::waveform::Segment* m_segment;
    kvq::waveform::WaveformData* m_store;
    // The stores the loop holds (loop thread only), used while dispatching.
    kvq::Hold<kvq::waveform::Segment> m_passSegment;
    kvq::Hold<kvq::waveform::WaveformData> m_passStore;
    std::atomic<bool> m_uploadFlag{false};
    std::atomic<bool> m_running{false};
    kvq::UseCount m_active;
    std::atomic<kvq::LiveBus*> m_liveBus{nullptr};
    kvq::protocol::AlarmMonitor m_alarms;
    kvq::protocol::ReportScanner m_scanner; // loop thread only
};
