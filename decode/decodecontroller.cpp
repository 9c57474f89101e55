#include "decode/decodecontroller.h"

#include "app/base/logging.h"
#include "app/base/platform/platform.h"
#include "decode/runtime.h"
#include "waveform/segment.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kvq::decode {

namespace {

constexpr qint64 kMinimumFreeMemory = qint64(500) << 20;

bool memoryShort()
{
    const qint64 available = platform::availablePhysicalMemory();
    return available >= 0 && available < kMinimumFreeMemory;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Hexadecimal header text to its value; text the decoder would never write
// leaves the fields at 0.
quint16 headerValue(const QString& text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 16);
    return ok && value <= 0xFFFF ? quint16(value) : 0;
}

// Option and channel tables: text keys, typed values.
GHashTable* variantTable()
{
    return g_hash_table_new_full(g_str_hash, g_str_equal, g_free, (GDestroyNotify)g_variant_unref);
}

} // namespace

void PdMessage::setHeader(quint16 h)
{
    type = h & 0x1F;
    dataRole = (h >> 5) & 1;
    specRevision = (h >> 6) & 3;
    powerRole = (h >> 8) & 1;
    headerMessageId = (h >> 9) & 7;
    numObjects = (h >> 12) & 7;
    extended = (h >> 15) & 1;
}

void PdMessage::setExtendedHeader(quint16 h)
{
    dataSize = h & 0x1FF;
    reserved = (h >> 9) & 1;
    requestChunk = (h >> 10) & 1;
    chunkNumber = (h >> 11) & 0xF;
    chunked = (h >> 15) & 1;
}

DecodeController::DecodeController(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<kvq::waveform::Segment*>("kvq::waveform::Segment*");
    m_thread.setObjectName(QStringLiteral("decode_thread"));
    m_thread.start();
    moveToThread(&m_thread);
}

DecodeController::~DecodeController()
{
    stopDecode();
    m_thread.quit();
    m_thread.wait(15000);
    disconnect();
    {
        std::lock_guard<std::mutex> lock(m_listLock);
        m_messages.clear();
        m_storeChannels.clear();
        m_inputChannels.clear();
    }
    destroySession();
}

void DecodeController::destroySession()
{
    if (m_session) {
        kvq_session_destroy(m_session);
        m_session = nullptr;
    }
}

bool DecodeController::initSession()
{
    // A run of the old session (a second analysis start during a live
    // decode) ends before its session goes.
    stopDecode();
    waitDecodeStopped();
    m_storeChannels.clear();
    m_inputChannels.clear();
    destroySession();
    m_current.reset();
    m_decoded = 0;

    srd_session* session = kvq_decoder_session_new();
    if (!session) {
        writeLog(QStringLiteral("kvq_decoder_session_new error"));
        return false;
    }
    // Every failure below ends with the session gone and one log line.
    const auto fail = [session](const char* line) {
        writeLog(QString::fromLatin1(line));
        kvq_session_destroy(session);
        return false;
    };
    const srd_decoder* decoder = kvq_decoder_get("usb_power_delivery");
    if (!decoder)
        return fail("srd_decoder_get failed");
    // "fulltext" takes the type of the option's default.
    GHashTable* options = variantTable();
    for (const GSList* l = decoder->options; l; l = l->next) {
        const auto* option = static_cast<const srd_decoder_option*>(l->data);
        if (g_strcmp0(option->id, "fulltext") != 0 || !option->def)
            continue;
        GVariant* value = nullptr;
        if (g_variant_is_of_type(option->def, G_VARIANT_TYPE_STRING))
            value = g_variant_new_string("no");
        else if (g_variant_is_of_type(option->def, G_VARIANT_TYPE_INT64))
            value = g_variant_new_int64(0);
        else if (g_variant_is_of_type(option->def, G_VARIANT_TYPE_DOUBLE))
            value = g_variant_new_double(0.0);
        if (value)
            g_hash_table_insert(options, g_strdup("fulltext"), g_variant_ref_sink(value));
    }
    srd_decoder_inst* instance = kvq_inst_new(session, "usb_power_delivery", options);
    g_hash_table_destroy(options);
    if (!instance)
        return fail("kvq_inst_new failed");
    GHashTable* channels = variantTable();
    g_hash_table_insert(channels, g_strdup("cc1"), g_variant_ref_sink(g_variant_new_int32(0)));
    m_storeChannels.push_back(0);
    m_inputChannels.push_back(0);
    const int rc = kvq_inst_channel_set_all(instance, channels);
    g_hash_table_destroy(channels);
    if (rc != SRD_OK)
        return fail("kvq_inst_channel_set_all failed");
    kvq_pd_output_callback_add(session, SRD_OUTPUT_ANN, &DecodeController::onAnnotation, this);
    m_session = session;
    return true;
}

void DecodeController::setSampleRate(quint64 hz)
{
    if (m_session)
        kvq_session_samplerate_set(m_session, hz);
}

int DecodeController::runState() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_runState;
}

void DecodeController::setBusList(std::vector<BusSample>* list)
{
    m_busList = list;
    m_busNext = 0;
    m_fileVbus = m_fileIbus = kNoFileValue;
}

void DecodeController::stopDecode()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_stop = true;
    if (m_runState == Running && m_session) {
        m_runState = Stopping;
        kvq_session_terminate_reset(m_session);
        writeLog(QStringLiteral("        协议线程停止"));
    }
}

void DecodeController::waitDecodeStopped()
{
    // The run ends within one chunk once stopped and needs nothing of the
    // waiting thread to get there.
    std::unique_lock<std::mutex> lock(m_stateLock);
    m_becameIdle.wait(lock, [this] { return m_runState == Idle; });
}

void DecodeController::setIdle()
{
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_runState = Idle;
    }
    m_becameIdle.notify_all();
}

void DecodeController::decodeSegment(waveform::Segment* store)
{
    const QString noMemory = tr("内存不足，请检查内存。");
    if (!m_session || !store)
        return;
    writeLog(QStringLiteral("        协议线程启动"));
    m_decoded = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_runState = Running;
    }
    kvq::Hold<kvq::waveform::Segment> use = store->hold();
    if (!use) {
        setIdle();
        return;
    }
    m_stop = false;

    const size_t entries = m_storeChannels.size();
    std::vector<KvqSampleSource> sources(entries, KvqSampleSource{nullptr, 0});
    auto available = [&] {
        qint64 most = 0;
        for (int c = 0; c < store->channelCount(); ++c)
            most = std::max<qint64>(most, store->sampleCount(c, false));
        return std::max<qint64>(most, 1000);
    };
    qint64 a = available();
    // From the rate itself: the whole nanoseconds of the store's period would
    // put a 2.4 MHz capture's times 0.16 % early.
    m_msPerSample = store->rate() > 0 ? 1.0 / double(store->rate()) : store->periodNs() / 1000000.0;
    const qint64 period = std::max<qint64>(1, qint64(double(a) / 100 / 65536 - 1));
    auto carryOn = [&] {
        std::lock_guard<std::mutex> lock(m_stateLock);
        return m_runState == Running && !m_stop && !store->isClearing();
    };

    bool started = false;
    if (memoryShort()) {
        emit sendSegmentLog(noMemory, 0);
    } else if (kvq_session_start(m_session) != SRD_OK) {
        writeLog(QStringLiteral("kvq_session_start error"));
    } else {
        started = true;
        qint64 cursor = 0;
        qint64 chunks = 0;
        bool tailSent = false;
        for (;;) {
            a = std::max(a, available());
            qint64 end = cursor;
            if (cursor < a) {
                end = a;
                for (size_t i = 0; i < entries; ++i) {
                    const int channel = m_storeChannels[i];
                    if (channel < 0)
                        continue;
                    std::int64_t bufferEnd = 0;
                    const std::uint8_t* bits = store->dataAt(cursor, &bufferEnd, channel);
                    sources[size_t(m_inputChannels[i])] =
                        bits ? KvqSampleSource{bits, 0}
                             : KvqSampleSource{nullptr, std::uint8_t(store->levelAt(cursor, channel, false))};
                    if (bufferEnd > cursor)
                        end = std::min<qint64>(end, bufferEnd);
                }
                end = std::min(end, cursor + kChunkSize);
                // Chunks start on a byte of the store's bits, so a chunk ends on
                // one too. A live capture grows by whole bytes; a count that is
                // no multiple of 8 is a loaded capture's last samples, which go
                // as the final chunk.
                if (end - cursor >= 8 || a % 8 == 0 || tailSent)
                    end = cursor + ((end - cursor) & ~qint64(7));
                else
                    tailSent = true;
            }
            if (!carryOn())
                break;
            if (end <= cursor) { // nothing new yet
                sleepMs(50);
                continue;
            }
            const int rc = kvq_session_send(m_session, quint64(cursor), quint64(end), sources.data(),
                                            int(sources.size()));
            if (rc != SRD_OK && rc != SRD_ERR_TERM_REQ) {
                writeLog(QStringLiteral("kvq_session_send error"));
                break;
            }
            cursor = end;
            m_decoded = cursor;
            if (++chunks % period == 0 && memoryShort()) {
                emit sendSegmentLog(noMemory, 0);
                break;
            }
        }
    }
    if (started)
        kvq_session_send_eof(m_session);
    sleepMs(200);
    use.reset();
    setIdle();
    writeLog(QStringLiteral("        协议线程退出"));
}

bool DecodeController::decodeToEnd(waveform::Segment* store, int timeoutMs, qint64* consumedNs)
{
    const auto begin = std::chrono::steady_clock::now();
    QMetaObject::invokeMethod(
        this, [this, store] { decodeSegment(store); }, Qt::QueuedConnection);
    const qint64 target = std::max<qint64>(store->sampleCount(0, false), 1000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool done = false;
    while (!(done = decodedSamples() >= target && runState() == Running) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (consumedNs)
        *consumedNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin)
                .count();
    stopDecode();
    waitDecodeStopped();
    return done;
}

void DecodeController::onAnnotation(srd_proto_data* data, void* context)
{
    if (!data || !data->data)
        return;
    const auto* annotation = static_cast<const srd_proto_data_annotation*>(data->data);
    static_cast<DecodeController*>(context)->annotation(qint64(data->start_sample), annotation->ann_class,
                                                        annotation->ann_text);
}

void DecodeController::annotation(qint64 start, int cls, const char* const* texts)
{
    if (m_stop || !texts)
        return;
    const QString t = texts[0] ? QString::fromUtf8(texts[0]) : QString();
    QString alt;
    for (int i = 1; texts[0] && texts[i]; ++i)
        if (texts[i][0])
            alt = QString::fromUtf8(texts[i]);
    if (t.isEmpty() && alt.isEmpty())
        return;
    if (cls == 1 && t == QLatin1String("Preamble")) {
        if (m_current) {
            m_current->note = QStringLiteral("Pack no eop");
            commitMessage();
        }
        m_current = std::make_unique<PdMessage>();
        m_current->startSample = start;
        m_current->time = qint64(double(start) * m_msPerSample);
        return;
    }
    if (!m_current)
        return;
    PdMessage& m = *m_current;
    switch (cls) {
    case 2:
        if (t.startsWith(QLatin1String("SOP")))
            m.sop = t;
        break;
    case 3:
        if (t.startsWith(QLatin1String("H:"))) {
            m.headerText = t.mid(2);
            m.setHeader(headerValue(m.headerText));
        } else if (t.startsWith(QLatin1String("EH:"))) {
            m.extHeaderText = t.mid(3);
            m.setExtendedHeader(headerValue(m.extHeaderText));
        }
        break;
    case 4: {
        static const QRegularExpression object(QStringLiteral("^\\[([0-9]+)\\](.*?)$"));
        const QRegularExpressionMatch match = object.match(t);
        if (match.hasMatch()) {
            PdDataItem item;
            item.index = quint8(match.captured(1).toUInt());
            item.value = match.captured(2);
            item.startSample = start;
            m.items.append(item);
        }
        break;
    }
    case 5:
        if (t.startsWith(QLatin1String("CRC:")))
            m.crc = t.mid(4);
        break;
    case 6:
        if (t == QLatin1String("EOP"))
            commitMessage();
        break;
    case 7:
        if (t.startsWith(QLatin1String("0x"))) {
            if (m.raw.size() % 3 == 2)
                m.raw += QLatin1Char(' ');
            m.raw += alt;
        }
        break;
    case 11:
        if (!m.note.isEmpty())
            m.note += QLatin1String("    ");
        m.note += t;
        if (!m.items.isEmpty() && m.items.last().startSample == start) {
            m.items.last().detailName = t;
            m.items.last().detailText = alt.isEmpty() ? t : alt;
        }
        break;
    case 12:
        m.name = t;
        break;
    default:
        if (cls >= 13) {
            static const QRegularExpression message(
                QStringLiteral("^\\(r([0-9]+)\\)\\s(.*?)\\[([0-9])\\]: (.*?)$"));
            const QRegularExpressionMatch match = message.match(t);
            if (match.hasMatch()) {
                m.revision = quint8(match.captured(1).toUInt());
                m.role = match.captured(2);
                m.messageId = quint8(match.captured(3).toUInt());
                m.name = match.captured(4);
                m.cls = quint8(cls);
            }
        }
        break;
    }
}

void DecodeController::commitMessage()
{
    PdMessage& m = *m_current;
    // One change point at most per message; the list is walked by index
    // rather than emptied from its front, which would cost a copy per entry.
    if (m_busList && m_busNext < m_busList->size()) {
        const BusSample& next = (*m_busList)[m_busNext];
        const bool due = next.timed ? m.time >= next.key : m.startSample >= next.key;
        if (due) {
            m_fileVbus = next.vbus;
            m_fileIbus = next.ibus;
            ++m_busNext;
        }
    }
    if (m_fileVbus == kNoFileValue) {
        std::lock_guard<std::mutex> lock(m_liveBus.lock);
        m.vbus = m_liveBus.vbus;
        m.ibus = m_liveBus.ibus;
    } else {
        m.vbus = m_fileVbus;
        m.ibus = m_fileIbus;
    }
    {
        std::lock_guard<std::mutex> lock(m_listLock);
        m_messages.push_back(std::move(m));
    }
    m_current.reset();
    emit sendDecodeDataAppend();
}

} // namespace kvq::decode
