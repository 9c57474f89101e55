#include "emulator/pdtraffic.h"

#include <cmath>
#include <cstring>
#include <string>

namespace kvq::emulator {

namespace {

constexpr double kBitTime = 1.0 / 300000.0;

// 4b5b codes of the data nibbles and the K-codes, most significant bit first
// as the standard writes them; the line sends the least significant first.
const char* const kData[16] = {"11110", "01001", "10100", "10101", "01010", "01011", "01110", "01111",
                               "10010", "10011", "10110", "10111", "11010", "11011", "11100", "11101"};
const char* const kSync1 = "11000";
const char* const kSync2 = "10001";
const char* const kRst1 = "00111";
const char* const kRst2 = "11001";
const char* const kEop = "01101";

void appendCode(std::string& bits, const char* code)
{
    for (int i = 4; i >= 0; --i)
        bits += code[i];
}

enum Role { Source, Sink };

struct Packet {
    double at; // seconds from the burst's start
    std::vector<std::uint8_t> bytes;
    bool hardReset = false;
};

std::vector<std::uint8_t> message(int type, int objects, Role role, int id,
                                  const std::vector<std::uint32_t>& data)
{
    const bool source = role == Source;
    const std::uint16_t header = std::uint16_t(type | (source ? 1 << 5 : 0) | (2 << 6) |
                                               (source ? 1 << 8 : 0) | (id << 9) | (objects << 12));
    std::vector<std::uint8_t> bytes = {std::uint8_t(header), std::uint8_t(header >> 8)};
    for (std::uint32_t word : data)
        for (int k = 0; k < 4; ++k)
            bytes.push_back(std::uint8_t(word >> (8 * k)));
    return bytes;
}

std::uint32_t fixedPdo(double volts, double amps, std::uint32_t flags = 0)
{
    return flags | (std::uint32_t(std::lround(volts / 0.05)) << 10) | std::uint32_t(std::lround(amps / 0.01));
}

} // namespace

std::uint32_t PdTraffic::crc32(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<double> PdTraffic::packetEdges(const std::vector<std::uint8_t>& bytes, const char* orderedSet)
{
    std::string bits;
    for (int i = 0; i < 64; ++i)
        bits += char('0' + (i & 1));
    const std::string set = orderedSet;
    if (set == "SOP") {
        for (const char* k : {kSync1, kSync1, kSync1, kSync2})
            appendCode(bits, k);
    } else {
        for (const char* k : {kRst1, kRst1, kRst1, kRst2})
            appendCode(bits, k);
    }
    if (set == "SOP") {
        std::vector<std::uint8_t> all = bytes;
        const std::uint32_t crc = crc32(bytes.data(), bytes.size());
        for (int k = 0; k < 4; ++k)
            all.push_back(std::uint8_t(crc >> (8 * k)));
        for (std::uint8_t b : all) {
            appendCode(bits, kData[b & 0xF]);
            appendCode(bits, kData[b >> 4]);
        }
        appendCode(bits, kEop);
    }
    // BMC: a transition at every bit start, another in the middle of a 1.
    std::vector<double> edges;
    bool level = false;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        edges.push_back(double(i) * kBitTime);
        level = !level;
        if (bits[i] == '1') {
            edges.push_back((double(i) + 0.5) * kBitTime);
            level = !level;
        }
    }
    // The transmitter ends low: one more transition after the last bit if high.
    if (level)
        edges.push_back(double(bits.size()) * kBitTime);
    return edges;
}

PdTraffic::PdTraffic(PdTrafficConfig config) : m_config(config)
{
    m_nextBurst = std::uint64_t(m_config.firstBurst * m_config.sampleRateHz);
}

void PdTraffic::scheduleBurst()
{
    std::vector<Packet> packets;
    double t = 0;
    // A message and the GoodCRC that acknowledges it, 150 us apart.
    const auto exchange = [&](Role from, int type, const std::vector<std::uint32_t>& data, double gap) {
        // Preamble, ordered set, header, objects, CRC and EOP, in bits.
        const auto duration = [](size_t objects) {
            return (64 + 20 + 10.0 * (2 + 4 * objects + 4) + 5) * kBitTime;
        };
        int& id = from == Source ? m_sourceId : m_sinkId;
        packets.push_back({t, message(type, int(data.size()), from, id, data)});
        t += duration(data.size()) + 150e-6;
        packets.push_back({t, message(1, 0, from == Source ? Sink : Source, id, {})});
        id = (id + 1) & 7;
        t += duration(0) + gap;
    };
    const std::vector<std::uint32_t> caps = {
        fixedPdo(5, 3, (1u << 27) | (1u << 26) | (1u << 25)), fixedPdo(9, 3), fixedPdo(15, 3),
        fixedPdo(20, 3.25), (3u << 30) | (210u << 17) | (33u << 8) | 60u};      // PPS 3.3-21 V, 3 A
    exchange(Source, 1, caps, 1e-3);                                            // Source_Capabilities
    exchange(Sink, 2, {(2u << 28) | (1u << 25) | (300u << 10) | 300u}, 0.5e-3); // Request 9 V 3 A
    exchange(Source, 3, {}, 20e-3);                                             // Accept
    exchange(Source, 6, {}, 2e-3);                                              // PS_RDY
    exchange(Source, 8, {}, 1e-3);                                              // Get_Sink_Cap
    exchange(Sink, 4, {fixedPdo(5, 3, 1u << 26), fixedPdo(9, 2)}, 2e-3);        // Sink_Capabilities
    // Discover Identity: a peripheral with an open-source vendor ID.
    exchange(Source, 15, {0xFF00A001u}, 1e-3);
    exchange(Sink, 15, {0xFF00A041u, 0x50401209u, 0x00000000u, 0x4B510100u}, 1e-3);
    ++m_bursts;
    if (m_config.hardResetEvery > 0 && m_bursts % std::uint64_t(m_config.hardResetEvery) == 0) {
        packets.push_back({t + 5e-3, {}, true});
        m_sourceId = m_sinkId = 0;
    }

    m_toggles.clear();
    m_nextToggle = 0;
    const double rate = m_config.sampleRateHz;
    for (const Packet& p : packets) {
        const std::uint64_t start = m_nextBurst + std::uint64_t(std::llround(p.at * rate));
        for (double e : packetEdges(p.bytes, p.hardReset ? "Hard Reset" : "SOP")) {
            const std::uint64_t s = start + std::uint64_t(std::llround(e * rate));
            if (m_toggles.empty() || s > m_toggles.back())
                m_toggles.push_back(s);
            else
                m_toggles.pop_back(); // two toggles in one sample cancel out
        }
    }
    m_nextBurst += std::uint64_t(m_config.burstPeriod * rate);
}

void PdTraffic::fill(std::uint8_t* out, std::size_t bytes)
{
    const std::uint64_t end = m_position + 8 * bytes;
    std::memset(out, 0, bytes);
    for (std::uint64_t s = m_position; s < end;) {
        if (m_nextToggle >= m_toggles.size() && m_nextBurst < end)
            scheduleBurst();
        const bool toggles = m_nextToggle < m_toggles.size() && m_toggles[m_nextToggle] < end;
        const std::uint64_t stop = toggles ? std::max(s, m_toggles[m_nextToggle]) : end;
        if (m_level)
            for (std::uint64_t k = s; k < stop; ++k)
                out[(k - m_position) >> 3] |= std::uint8_t(1u << ((k - m_position) & 7));
        s = stop;
        if (toggles) {
            m_level = !m_level;
            ++m_nextToggle;
        }
    }
    m_position = end;
}

} // namespace kvq::emulator
