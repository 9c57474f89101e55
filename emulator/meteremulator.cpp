#include "emulator/meteremulator.h"

#include "protocol/fastcharge.h"
#include "protocol/frames.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <pthread.h>

namespace kvq::emulator {

using namespace kvq::protocol;

namespace {

void putU16(QByteArray& b, int at, uint16_t v)
{
    qToLittleEndian(v, reinterpret_cast<uchar*>(b.data() + at));
}
void putU24(QByteArray& b, int at, uint32_t v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char((v >> 8) & 0xFF);
    b[at + 2] = char((v >> 16) & 0xFF);
}
void putU32(QByteArray& b, int at, uint32_t v)
{
    qToLittleEndian(v, reinterpret_cast<uchar*>(b.data() + at));
}
void putFloat(QByteArray& b, int at, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    putU32(b, at, bits);
}
void putText(QByteArray& b, int at, int size, const QString& text)
{
    const QByteArray latin = text.toLatin1().left(size);
    std::memcpy(b.data() + at, latin.constData(), size_t(latin.size()));
}
uint32_t raw(double value, double scale, uint32_t max)
{
    const double r = std::round(std::fabs(value) * scale);
    return r > max ? max : uint32_t(r);
}

} // namespace

MeterEmulator::MeterEmulator(MeterConfig config)
    : m_config(std::move(config)), m_scenario(m_config.seed), m_records(defaultRecords()),
      m_epoch(std::chrono::steady_clock::now())
{}

MeterEmulator::~MeterEmulator()
{
    detached();
}

std::vector<OfflineRecord> MeterEmulator::defaultRecords()
{
    std::vector<OfflineRecord> records(2);
    ChargerScenario scenario(7);
    records[0].index = 0;
    records[0].intervalMs = 1000;
    records[0].format = 0;
    for (int i = 0; i < 120; ++i) {
        const BusSample s = scenario.at(i * 1.0);
        records[0].samples.emplace_back(s.vbus, s.ibus);
    }
    records[1].index = 1;
    records[1].intervalMs = 200;
    records[1].format = 1;
    for (int i = 0; i < 300; ++i) {
        const BusSample s = scenario.at(30 + i * 0.2);
        records[1].samples.emplace_back(s.vbus, s.ibus);
    }
    return records;
}

double MeterEmulator::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_epoch).count();
}

MeterConfig MeterEmulator::config() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config;
}

void MeterEmulator::setReenumerateHandler(std::function<void(bool)> handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reenumerate = std::move(handler);
}

void MeterEmulator::attached(usb::VirtualPort* port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_port = port;
    m_stop = false;
    if (!m_thread.joinable())
        m_thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "meter emulator"); // told apart in profiles
            run();
        });
}

void MeterEmulator::detached()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_port = nullptr;
        m_uploading = false;
        m_pdAnalysis = false;
        m_pending.clear();
        m_scheduled.clear();
    }
    m_wake.notify_all();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void MeterEmulator::setSilent(bool silent)
{
    m_silent = silent;
}
void MeterEmulator::setStallOut(bool stall)
{
    m_stallOut = stall;
}
void MeterEmulator::corruptNextFrames(int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_corrupt = count;
}
void MeterEmulator::setSplitFrames(bool split)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_split = split;
}
void MeterEmulator::setOfflineRecords(std::vector<OfflineRecord> records)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records = std::move(records);
}

void MeterEmulator::injectBytes(const QByteArray& bytes, bool endsTransfer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_port)
        m_port->send(bytes, endsTransfer);
}

std::vector<MeterEmulator::Received> MeterEmulator::receivedCommands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

int MeterEmulator::uploadRate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return uploadRateOfCode(m_rateCode);
}

bool MeterEmulator::receive(const QByteArray& data)
{
    if (m_stallOut)
        return false;
    const auto* b = reinterpret_cast<const uint8_t*>(data.constData());
    const int size = data.size();
    if (size >= 5 && b[0] == kBootMarker) {
        handleBootFrame(data);
        return true;
    }
    if (size != kCommandFrameSize || b[0] != kFrameMarker || b[2] > kMaxCommandPayload ||
        checksum(b, size_t(3 + b[2])) != b[3 + b[2]] || b[4 + b[2]] != 0xFF) {
        ++m_invalidFrames;
        return true;
    }
    handleCommand(b[1], data.mid(3, b[2]));
    return true;
}

void MeterEmulator::queueReport(uint8_t code, const QByteArray& payload)
{
    QByteArray frame = buildReportFrame(code, payload);
    if (m_corrupt > 0) {
        --m_corrupt;
        frame[frame.size() - 1] = char(frame[frame.size() - 1] ^ 0x5A);
    }
    m_pending.append(frame);
}

void MeterEmulator::queueRaw(const QByteArray& bytes)
{
    m_pending.append(bytes);
}

QByteArray MeterEmulator::infoPayload() const
{
    const int d = m_config.longInfo ? 1 : 0;
    QByteArray p(29 + d, '\0');
    p[0] = char(m_config.bootVersion);
    if (d) {
        p[1] = char(m_config.fwMajor);
        p[2] = char(m_config.fwMinorPatch);
    } else {
        p[1] = char(m_config.fwTenths);
    }
    p[2 + d] = char(m_config.hwVersion);
    putU16(p, 4 + d, uint16_t(m_config.deviceType));
    putText(p, 6 + d, 8, m_config.serial);
    putText(p, 14 + d, 12, m_config.model);
    p[26 + d] = char(m_config.isBoot ? 1 : 0);
    p[27 + d] = char(m_config.supportsPd ? 0 : 1);
    p[28 + d] = char(m_config.fiveDecimals ? 1 : 0);
    return p;
}

QByteArray MeterEmulator::measurementPayload(const BusSample* s, int count) const
{
    QByteArray p(57, '\0');
    for (int k = 0; k < 4; ++k) {
        const BusSample& x = s[std::min(k, count - 1)];
        putU24(p, 3 * k, raw(x.vbus, 100000, 0xFFFFFF));
        putU24(p, 12 + 3 * k, raw(x.ibus, 100000, 0xFFFFFF));
        putU16(p, 24 + 2 * k, uint16_t(raw(x.dp, 1000, 0xFFFF)));
        putU16(p, 32 + 2 * k, uint16_t(raw(x.dm, 1000, 0xFFFF)));
        putU16(p, 40 + 2 * k, uint16_t(raw(x.cc1, 1000, 0xFFFF)));
        putU16(p, 48 + 2 * k, uint16_t(raw(x.cc2, 1000, 0xFFFF)));
    }
    p[56] = char(s[0].reverse ? 1 : 0);
    return p;
}

void MeterEmulator::handleCommand(uint8_t code, const QByteArray& payload)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_received.push_back({code, payload});
    if (m_silent)
        return;
    const auto u8 = [&payload](int i) { return i < payload.size() ? uint8_t(payload[i]) : uint8_t(0); };
    const auto s8 = [&payload](int i) { return i < payload.size() ? int8_t(payload[i]) : int8_t(0); };
    // A meter in its bootloader answers the information query and nothing else.
    if (m_config.isBoot && code != CmdDeviceInfo)
        return;
    switch (code) {
    case CmdDeviceInfo:
        queueReport(RptDeviceInfo, infoPayload());
        break;
    case CmdViewIndex: {
        if (payload.size() >= 2 && u8(1) == 1)
            m_viewIndex = u8(0);
        QByteArray p(4, '\0');
        p[0] = char(m_viewIndex);
        queueReport(RptViewIndex, p);
        break;
    }
    case CmdUploadRate: {
        if (u8(0) == 1 && u8(1) <= 6)
            m_rateCode = u8(1);
        QByteArray p(4, '\0');
        p[1] = char(m_rateCode);
        queueReport(RptUploadRate, p);
        if (m_uploading) { // a new rate restarts the sample clock
            m_streamStart = elapsed();
            m_samplesSent = 0;
        }
        break;
    }
    case CmdUpload:
        m_uploading = u8(0) == 1;
        m_streamStart = elapsed();
        m_samplesSent = 0;
        m_lastMonitor = 0;
        break;
    case CmdTrigger: {
        const int8_t index = s8(1);
        const bool full = u8(0) == 2;
        const bool ok = index >= 0 && index <= 2; // this charger speaks PD, QC2 and QC3
        QByteArray p(full ? 22 : 21, '\0');
        p[0] = char(index);
        p[1] = char(ok ? 1 : 0);
        if (ok) {
            uint64_t mask = 0;
            for (int c : {7, 11, 15, 18, 24})
                mask |= uint64_t(1) << c;
            qToLittleEndian(mask, reinterpret_cast<uchar*>(p.data() + 2));
            const int selected = full ? u8(2) : 7;
            const bool pps = selected >= 24 && selected <= 27;
            const uint16_t step = uint16_t(u8(3) | (u8(4) << 8));
            const QString name = fastChargeName(selected);
            const uint16_t prog = pps ? uint16_t(std::clamp<int>(step ? step : 5000, 3300, 11000))
                                      : uint16_t(name.endsWith('V') ? name.chopped(1).toInt() * 1000 : 5000);
            p[10] = char(pps ? 1 : 0);
            putU16(p, 11, prog);
            putU16(p, 13, pps ? 20 : 0);
            putU16(p, 15, pps ? 3300 : 0);
            putU16(p, 17, pps ? 11000 : 0);
            putU16(p, 19, 3000);
            if (full)
                p[21] = char(selected);
            m_scenario.holdVoltage(prog / 1000.0);
        }
        queueReport(RptTrigger, p);
        break;
    }
    case CmdAutoDetect:
        startDetection();
        break;
    case CmdLanguage: {
        m_language = s8(0);
        QByteArray p(2, '\0');
        p[0] = char(m_language);
        queueReport(RptLanguage, p);
        break;
    }
    case CmdOfflineRecords: {
        if (m_records.empty()) {
            queueReport(RptOfflineInfo, QByteArray(21, '\0'));
            break;
        }
        for (const OfflineRecord& r : m_records) {
            QByteArray p(21, '\0');
            p[0] = char(m_records.size());
            p[1] = char(r.index);
            putU32(p, 2, r.intervalMs);
            putU32(p, 6, uint32_t(r.samples.size() * r.intervalMs / 1000));
            putU16(p, 10, uint16_t(r.samples.size()));
            double mah = 0, mwh = 0;
            for (const auto& [v, a] : r.samples) {
                mah += a * r.intervalMs / 3600.0;
                mwh += v * a * r.intervalMs / 3600.0;
            }
            putFloat(p, 12, float(mah));
            putFloat(p, 16, float(mwh));
            p[20] = char(r.format);
            queueReport(RptOfflineInfo, p);
        }
        break;
    }
    case CmdOfflineData:
        sendOfflineData(s8(1), uint16_t(u8(2) | (u8(3) << 8)));
        break;
    case CmdOfflineDelete: {
        const int8_t index = s8(1);
        if (index == 5 || index < 0)
            m_records.clear();
        else
            m_records.erase(std::remove_if(m_records.begin(), m_records.end(),
                                           [index](const OfflineRecord& r) { return r.index == index; }),
                            m_records.end());
        QByteArray p(2, '\0');
        p[0] = char(index < 0 ? 5 : index);
        queueReport(RptOfflineDelete, p);
        break;
    }
    case CmdDataRecordPage: {
        m_page = s8(0);
        QByteArray p(2, '\0');
        p[0] = char(m_page);
        queueReport(RptDataRecordPage, p);
        break;
    }
    case CmdPdAnalysis: {
        if (!m_config.supportsPd)
            break;
        const int8_t state = s8(0);
        m_pdAnalysis = state == 1;
        QByteArray p(6, '\0');
        p[0] = char(state);
        putU32(p, 2, m_config.captureRateHz);
        queueReport(RptPdState, p);
        if (m_pdAnalysis) {
            m_rateCode = 2; // the meter drops to 20 samples/s while it captures
            m_streamStart = elapsed();
            m_samplesSent = 0;
            m_captureStart = elapsed();
            m_captureBytesSent = 0;
            PdTrafficConfig traffic = m_config.pdTraffic;
            traffic.sampleRateHz = m_config.captureRateHz;
            m_traffic = std::make_unique<PdTraffic>(traffic);
            QByteArray cable(10, '\0');
            cable[0] = 1; // traffic on CC1
            cable[1] = 1; // the meter's input side
            queueReport(RptCableInfo, cable);
        }
        break;
    }
    case CmdEnterBootloader: {
        queueReport(RptEnterBootloader, QByteArray(1, '\0'));
        m_uploading = false;
        m_pdAnalysis = false;
        if (m_reenumerate) {
            auto handler = m_reenumerate;
            lock.unlock();
            m_wake.notify_all();
            handler(true); // the host re-plugs us a little later, after the status has left
            return;
        }
        m_config.isBoot = true;
        break;
    }
    default:
        break;
    }
    lock.unlock();
    m_wake.notify_all();
}

void MeterEmulator::handleBootFrame(const QByteArray& frame)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto* b = reinterpret_cast<const uint8_t*>(frame.constData());
    const uint8_t key = b[1];
    m_received.push_back({uint8_t(0x80 | key), frame.mid(4, b[3])});
    if (m_silent || !m_config.isBoot)
        return;
    const bool intact =
        frame.size() == b[3] + 5 && checksum(b, size_t(frame.size() - 1)) == b[frame.size() - 1];
    QByteArray reply(key == BootGetInfo ? 8 : 5, '\0');
    reply[0] = char(kBootReplyMarker);
    reply[1] = char(key);
    reply[2] = char(b[2]);
    if (key == BootGetInfo) {
        putU16(reply, 4, uint16_t(m_config.deviceType));
        reply[6] = char(m_config.hwVersion);
    } else {
        reply[4] = char(intact ? 0 : 1);
    }
    queueRaw(reply);
    std::function<void(bool)> handler;
    if (key == BootStartApp && intact) {
        if (m_reenumerate)
            handler = m_reenumerate;
        else
            m_config.isBoot = false;
    }
    lock.unlock();
    m_wake.notify_all();
    if (handler)
        handler(false);
}

void MeterEmulator::sendOfflineData(int8_t index, uint16_t count)
{
    const auto it = std::find_if(m_records.begin(), m_records.end(),
                                 [index](const OfflineRecord& r) { return r.index == index; });
    if (it == m_records.end())
        return;
    const int size = it->format == 0 ? 6 : 4;
    const int perFrame = kMaxReportPayload / size;
    const int total = std::min<int>(count ? count : int(it->samples.size()), int(it->samples.size()));
    double when = elapsed();
    for (int first = 0; first < total; first += perFrame) {
        const int n = std::min(perFrame, total - first);
        QByteArray p(n * size, '\0');
        for (int i = 0; i < n; ++i) {
            const auto [v, a] = it->samples[size_t(first + i)];
            if (size == 6) {
                putU24(p, i * 6, raw(v, 1000, 0x7FFFFF));
                putU24(p, i * 6 + 3, raw(a, 1000, 0x7FFFFF));
            } else {
                putU16(p, i * 4, uint16_t(raw(v, 1000, 0x7FFF)));
                putU16(p, i * 4 + 2, uint16_t(raw(a, 1000, 0x7FFF)));
            }
        }
        // A burst every 10 ms, as the meter pages through its flash.
        m_scheduled.emplace_back(when, buildReportFrame(RptOfflineData, p));
        when += 0.01;
    }
}

void MeterEmulator::startDetection()
{
    queueReport(RptClearDetect, QByteArray(2, '\0'));
    static const struct {
        int index;
        bool ok;
        const char* text;
    } lines[] = {
        {12, true, "BC1.2 DCP 5V 1.5A"}, {13, false, "APPLE2.4 not found"},
        {1, true, "QC2 5V/9V/12V"},      {2, true, "QC3 3.6V-12V"},
        {3, false, "FCP not found"},     {4, false, "SCP not found"},
        {5, false, "AFC not found"},     {6, false, "VFCP not found"},
        {7, false, "UFCS not found"},    {8, false, "VOOC not found"},
        {9, false, "SVOOC not found"},   {14, false, "PE1 not found"},
        {15, false, "PE2 not found"},    {16, false, "QC4 not found"},
        {17, false, "QC5 not found"},    {0, true, "PD 5V/9V/15V/20V 3A PPS 3.3-11V"},
    };
    double when = elapsed() + 0.1;
    for (const auto& line : lines) {
        QByteArray p;
        p.append(char(line.index)).append(char(line.ok ? 1 : 0)).append(line.text).append('\0');
        m_scheduled.emplace_back(when, buildReportFrame(RptDetectLog, p));
        when += 0.12;
    }
}

void MeterEmulator::streamDue(double now)
{
    const int rate = uploadRateOfCode(m_rateCode);
    const int per = rate >= 500 ? 4 : 1;
    const uint64_t due = uint64_t(std::max(0.0, now - m_streamStart) * rate);
    if (m_config.sampleLimit == 0 &&
        due > m_samplesSent + uint64_t(rate) * 2) // held up: skip, as a meter would
        m_samplesSent = due - uint64_t(per);
    const uint64_t limit = m_config.sampleLimit;
    while (m_samplesSent + uint64_t(per) <= due && (limit == 0 || m_samplesSent + uint64_t(per) <= limit)) {
        BusSample samples[4];
        for (int k = 0; k < per; ++k)
            samples[k] = m_scenario.at(m_streamStart + double(m_samplesSent + uint64_t(k)) / rate);
        queueReport(RptMeasurement, measurementPayload(samples, per));
        m_samplesSent += uint64_t(per);
        ++m_measurementReports;
    }
    if (now - m_lastMonitor >= 1.0) {
        m_lastMonitor = now;
        const BusSample s = m_scenario.at(now);
        QByteArray p(55, '\0');
        putText(p, 0, 10, QStringLiteral("PD3.0"));
        putText(p, 10, 8, QStringLiteral("%1W").arg(int(std::round(s.vbus * 3))));
        putText(p, 18, 8, QStringLiteral("Source"));
        putText(p, 26, 8, QStringLiteral("Fixed"));
        putText(p, 34, 10, QStringLiteral("%1V").arg(std::round(s.vbus), 0, 'f', 0));
        putText(p, 44, 10, QStringLiteral("3.00A"));
        p[54] = char(31);
        queueReport(RptPdMonitor, p);
    }
}

void MeterEmulator::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        m_wake.wait_for(lock, std::chrono::milliseconds(5));
        if (m_stop)
            break;
        const double now = elapsed();
        if (m_uploading && !m_silent)
            streamDue(now);
        if (m_pdAnalysis && !m_silent) {
            // The sniffed line at the capture rate, 250 bytes (2000 samples) a report.
            const uint64_t due = uint64_t((now - m_captureStart) * m_config.captureRateHz / 8.0);
            while (m_captureBytesSent + 250 <= due && m_traffic) {
                QByteArray bytes(250, '\0');
                m_traffic->fill(reinterpret_cast<std::uint8_t*>(bytes.data()), size_t(bytes.size()));
                queueReport(RptPdData, bytes);
                m_captureBytesSent += 250;
            }
        }
        while (!m_scheduled.empty() && m_scheduled.front().first <= now) {
            m_pending.append(m_scheduled.front().second);
            m_scheduled.pop_front();
        }
        if (m_pending.isEmpty() || !m_port)
            continue;
        if (m_silent) {
            m_pending.clear();
            continue;
        }
        const QByteArray burst = std::exchange(m_pending, QByteArray());
        if (m_split && burst.size() > 3) {
            // The rest of the cut frame follows with the next burst, a tick
            // later: the host sees the cut at the end of a read.
            m_port->send(m_splitTail + burst.left(burst.size() - 3), true);
            m_splitTail = burst.right(3);
        } else {
            m_port->send(burst, true);
        }
    }
}

} // namespace kvq::emulator
