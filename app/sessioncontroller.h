#pragma once

#include "files/busfile.h"

// The hub between the QML user interface and a measuring session: device
// commands, acquisition, sample stores, statistics, files, styles and alarms.
// Usable from C++ exactly as QML uses it.

#include "waveform/segment.h"
#include "waveform/waveformdata.h"

#include <QJsonObject>
#include <QObject>

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <functional>

#include <array>

class QMediaPlayer;
class ThreadRead;
class ThreadWork;

namespace kvq::decode {
class DecodeController;
}
namespace kvq::usb {
class USBControl;
class USBDeviceSlot;
} // namespace kvq::usb

class SessionController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool autoSave READ autoSave WRITE setAutoSave NOTIFY autoSaveChanged)
    Q_PROPERTY(int autoSaveType READ autoSaveType WRITE setAutoSaveType NOTIFY autoSaveTypeChanged)

public:
    explicit SessionController(QObject* parent = nullptr);
    ~SessionController() override;

    bool autoSave() const { return m_autoSave; }
    void setAutoSave(bool on);
    int autoSaveType() const { return m_autoSaveType; }
    void setAutoSaveType(int type);

    kvq::waveform::WaveformData* store() const { return m_store; }
    ThreadRead* reader() const { return m_reader; }
    bool isRunning() const { return m_running; }
    QString autoSavePathValue() const { return m_autoSavePath; }
    // Whether beep() plays the program's tone (false: the system beep).
    bool hasBeepSound() const;

    Q_INVOKABLE void initDevice(qint8 decimals, qint8 mainViewIndex, bool isBoot);
    Q_INVOKABLE void removeDevice();
    Q_INVOKABLE void setWaveFormDataShow(int index, bool show);
    Q_INVOKABLE QJsonObject getVoltageStatistics();
    Q_INVOKABLE QJsonObject getElectricStatistics();
    Q_INVOKABLE QJsonObject getPowerStatistics();
    Q_INVOKABLE QJsonObject getBasicInfo();
    Q_INVOKABLE void setAlarmData(QJsonObject json);
    Q_INVOKABLE void getSetViewIndex(qint8 index);
    Q_INVOKABLE void getSetUploadSPS(qint8 index);
    Q_INVOKABLE bool startProtocolParsing(uchar state);
    Q_INVOKABLE void setRate(uint rate);
    Q_INVOKABLE bool saveProtocolData(QString filePath);
    Q_INVOKABLE bool readProtocolData(QString filePath);
    // A logic analyser's sigrok session as a PD capture: `probe` names the CC
    // line, or, empty, the line with the most traffic is taken.
    Q_INVOKABLE bool readSigrokSession(QString filePath, QString probe);
    Q_INVOKABLE bool startWaveFormDataUp(uchar state);
    Q_INVOKABLE bool reStartWaveFormDataUp();
    Q_INVOKABLE bool saveWaveFormData(QString path);
    Q_INVOKABLE bool readWaveFormData(QString path);
    Q_INVOKABLE void triggerProtocol(uchar index, QString model, ushort step, uchar stat);
    Q_INVOKABLE void autoProtocol();
    Q_INVOKABLE void languageSettings(uchar index);
    Q_INVOKABLE bool getOfflineRecordInfo();
    Q_INVOKABLE void getOfflineRecordData(uchar index, double offlineCapacity, double offlineEnergy,
                                          ushort totalCount, uint interval, uchar type);
    Q_INVOKABLE void offlineRecordDataRemove(uchar index);
    Q_INVOKABLE void dataRecordSwitch(uchar index);
    Q_INVOKABLE void ptlAnalysisState(uchar index);
    Q_INVOKABLE void enterBootload();
    Q_INVOKABLE void beep();
    Q_INVOKABLE void setWaveformColor(QVariantList colors);
    Q_INVOKABLE void setWaveformLineWidth(QVariantList lineWidths);
    Q_INVOKABLE void setWaveformShadow(QVariantList shadows);
    Q_INVOKABLE void appendLog(QString log);
    Q_INVOKABLE void setShowWithZero(bool showWithZero);
    Q_INVOKABLE void setAutoSavePath(QString path);
    Q_INVOKABLE void stopWork();
    Q_INVOKABLE void setStopTrig(int type, double num, int time);

signals:
    void sendReadThreadStart(kvq::usb::USBControl* usb, int maxTransferSize);
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
    void sendWaveformDataChanged();
    void sendSegmentLog(QString log, int state = 1);
    void sendDecodeDataClear();
    void sendPtlAnalysisStart(kvq::waveform::Segment* segment);
    void sendDecodeDataAppend();
    void overallAlarm(bool powerAlarm, bool currentAlarm, bool voltageAlarm, bool sound, QString msg,
                      QString color);
    void sendCLineInputInfo(QString cc, bool input);
    void sendClearFastPtlInfo();
    void sendThreadProgressType(int type);
    void sendThreadProgress(double progress);
    void SigSaveWaveFormDataThread(QString path, kvq::waveform::StoreHold data, qint8 type);
    void SigReadWaveFormDataThread(QString path, kvq::waveform::StoreHold data, qint8 type);
    void sendWaveformDataStop();
    void autoSaveChanged();
    void autoSaveTypeChanged();

private:
    // Stops decoding and empties the capture store for a file; then decodes it.
    void prepareCaptureLoad();
    void decodeLoadedCapture();
    kvq::usb::USBControl* device() const;
    // A new current store, made ready by `prepare` before the reader may
    // append to it; the old one is retired.
    void newSampleStore(const std::function<void(kvq::waveform::WaveformData&)>& prepare = {});
    void retire(kvq::waveform::WaveformData* store);
    void applyUploadRate(int rate);
    bool startUpload();
    bool stopUpload();
    bool startAcquisition(bool alwaysNewStore);
    void openAutoSave();
    void closeAutoSave();
    void applyStyles();
    QJsonObject statistics(int channel);

    kvq::usb::USBDeviceSlot* m_usb = nullptr;
    kvq::waveform::Segment* m_segment = nullptr;
    kvq::decode::DecodeController* m_decoder = nullptr;
    // Bus change points of the protocol file last opened (the decoder walks them).
    std::vector<kvq::decode::BusSample> m_busSamples;
    kvq::waveform::WaveformData* m_store = nullptr;
    ThreadRead* m_reader = nullptr;
    ThreadWork* m_worker = nullptr;
    QMediaPlayer* m_player = nullptr;
    bool m_autoSave = true;
    std::array<kvq::waveform::ChannelStyle, kvq::waveform::ChannelCount> m_style;
    QString m_autoSavePath;
    QStringList m_pdInfo = QStringList() << QString() << QString() << QString() << QString() << QString()
                                         << QString() << QString();
    bool m_running = false;
    bool m_newStoreNeeded = false;
    int m_autoSaveType = 0;
};
