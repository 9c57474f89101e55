#pragma once

// The decode pipeline: feeds the capture store's CC-line samples to the USB-PD
// decoder on a thread of its own while the capture grows, turns the decoder's
// annotations into one PdMessage per packet, stamps each with the bus values
// of its moment and keeps the finished messages for the table and the files.

#include "files/busfile.h"
#include "decode/pdmessage.h"
#include "waveform/acquisition.h"

#include <QObject>
#include <QThread>

#include <atomic>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct srd_session;
struct srd_proto_data;

namespace kvq::waveform {
class Segment;
}

namespace kvq::decode {

class DecodeController : public QObject {
    Q_OBJECT

public:
    static constexpr float kUnset = -99999.0f;
    static constexpr float kNoFileValue = kUnset - 1.0f;
    static constexpr qint64 kChunkSize = 65536;
    enum RunState { Idle = 0, Running = 1, Stopping = 2 };

    explicit DecodeController(QObject* parent = nullptr);
    ~DecodeController() override;

    // A fresh decoder session; false (and a log line) when it cannot be made.
    bool initSession();
    void setSampleRate(quint64 hz);
    void stopDecode();
    void waitDecodeStopped();
    int runState() const;
    bool hasSession() const { return m_session != nullptr; }
    double msPerSample() const { return m_msPerSample; }
    // Samples handed to the decoder by the current or last run.
    qint64 decodedSamples() const { return m_decoded.load(); }

    // The finished messages, guarded by listLock().
    std::mutex& listLock() { return m_listLock; }
    std::deque<PdMessage>& messages() { return m_messages; }

    // Written by the report reader while measurement upload runs.
    LiveBus& liveBus() { return m_liveBus; }

    // The change points of a loaded file (consumed as messages are committed),
    // or none for a live capture; the file values start unset again.
    void setBusList(std::vector<BusSample>* list);

    // Decodes every sample `store` holds now, blocking the caller (not the
    // controller's thread) until done or `timeoutMs` passed; false on time-out.
    // `consumedNs` receives the time until the decoder had every sample, not
    // counting the pause that ends a run.
    bool decodeToEnd(kvq::waveform::Segment* store, int timeoutMs, qint64* consumedNs = nullptr);

    // One annotation of the decoder (start sample, class, texts ending with
    // null); called on the decoder's thread, and by tests.
    void annotation(qint64 start, int cls, const char* const* texts);

public slots:
    void decodeSegment(kvq::waveform::Segment* store);

signals:
    void sendDecodeDataAppend();
    void sendSegmentLog(QString msg, int state = 1);

private:
    static void onAnnotation(srd_proto_data* data, void* context);
    void commitMessage();
    void destroySession();

    std::mutex m_listLock;
    std::deque<PdMessage> m_messages;
    std::atomic<double> m_msPerSample{0.0};
    std::atomic<bool> m_stop{false};
    LiveBus m_liveBus;
    std::vector<BusSample>* m_busList = nullptr; // touched by the decoder thread while a run lasts
    size_t m_busNext = 0;                        // the first change point not yet applied
    std::atomic<qint64> m_decoded{0};
    float m_fileVbus = kNoFileValue;
    float m_fileIbus = kNoFileValue;
    void setIdle();

    mutable std::mutex m_stateLock;
    int m_runState = Idle;
    std::condition_variable m_becameIdle;
    QThread m_thread;
    srd_session* m_session = nullptr;
    std::vector<int> m_storeChannels;
    std::vector<int> m_inputChannels;
    std::unique_ptr<PdMessage> m_current; // the packet being decoded (decoder thread)
};

} // namespace kvq::decode
