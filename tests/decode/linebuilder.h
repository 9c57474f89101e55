#pragma once

// A CC line written bit by bit for decoder tests: BMC at a chosen bit rate,
// 4b5b symbols, ordered sets, packets with their CRC, idle stretches, and
// the result as the capture store's bits (one bit per sample).

#include "emulator/pdtraffic.h"
#include "waveform/segment.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace kvqtest {

class LineBuilder {
public:
    explicit LineBuilder(double sampleRateHz = 2e6, double bitRate = 300e3)
        : m_rate(sampleRateHz), m_bit(sampleRateHz / bitRate)
    {}

    // 4b5b codes most significant bit first, as the standard writes them.
    static const char* code(int nibble)
    {
        static const char* const data[16] = {"11110", "01001", "10100", "10101", "01010", "01011",
                                             "01110", "01111", "10010", "10011", "10110", "10111",
                                             "11010", "11011", "11100", "11101"};
        return data[nibble & 0xF];
    }
    static constexpr const char* kSync1 = "11000";
    static constexpr const char* kSync2 = "10001";
    static constexpr const char* kEop = "01101";

    void idle(double seconds)
    {
        finishBits();
        m_samples += std::uint64_t(std::llround(seconds * m_rate));
    }
    // Line bits in the order they are sent.
    void bits(const std::string& line) { m_pending += line; }
    void symbol(const char* msbFirst)
    {
        for (int i = 4; i >= 0; --i)
            m_pending += msbFirst[i];
    }
    void preamble(int count = 64)
    {
        for (int i = 0; i < count; ++i)
            m_pending += char('0' + (i & 1));
    }
    void sop()
    {
        for (const char* k : {kSync1, kSync1, kSync1, kSync2})
            symbol(k);
    }
    // Header and data bytes with their CRC, then EOP unless `eop` is false.
    void payload(const std::vector<std::uint8_t>& bytes, bool eop = true)
    {
        std::vector<std::uint8_t> all = bytes;
        const std::uint32_t crc = kvq::emulator::PdTraffic::crc32(bytes.data(), bytes.size());
        for (int k = 0; k < 4; ++k)
            all.push_back(std::uint8_t(crc >> (8 * k)));
        for (std::uint8_t b : all) {
            symbol(code(b & 0xF));
            symbol(code(b >> 4));
        }
        if (eop)
            symbol(kEop);
    }
    void packet(const std::vector<std::uint8_t>& bytes, int preambleBits = 64)
    {
        preamble(preambleBits);
        sop();
        payload(bytes);
    }

    // The line so far, idle at the end, as capture bits.
    void writeTo(kvq::waveform::Segment& store)
    {
        idle(1e-3);
        std::vector<std::uint8_t> bytes((m_samples + 7) / 8, 0);
        bool level = false;
        std::uint64_t from = 0;
        for (std::uint64_t t : m_toggles) {
            if (level)
                for (std::uint64_t s = from; s < t; ++s)
                    bytes[s >> 3] |= std::uint8_t(1u << (s & 7));
            level = !level;
            from = t;
        }
        store.setRate(std::int64_t(m_rate / 1000));
        store.writeBytes(0, 0, bytes.data(), std::int64_t(bytes.size()), false);
        store.setSampleCount(std::int64_t(m_samples), 0, false);
    }

    static std::vector<std::uint8_t> message(int type, int objects, bool source, int id,
                                             const std::vector<std::uint32_t>& words, bool extended = false)
    {
        const std::uint16_t header =
            std::uint16_t(type | (source ? 1 << 5 : 0) | (2 << 6) | (source ? 1 << 8 : 0) | (id << 9) |
                          (objects << 12) | (extended ? 1 << 15 : 0));
        std::vector<std::uint8_t> bytes = {std::uint8_t(header), std::uint8_t(header >> 8)};
        for (std::uint32_t w : words)
            for (int k = 0; k < 4; ++k)
                bytes.push_back(std::uint8_t(w >> (8 * k)));
        return bytes;
    }
    static std::uint32_t fixedPdo(double volts, double amps, std::uint32_t flags = 0)
    {
        return flags | (std::uint32_t(std::lround(volts / 0.05)) << 10) |
               std::uint32_t(std::lround(amps / 0.01));
    }

private:
    // BMC: a transition at every bit start, another in the middle of a 1; the
    // transmitter ends low.
    void finishBits()
    {
        if (m_pending.empty())
            return;
        double t = double(m_samples);
        bool level = m_toggles.size() % 2 == 1;
        for (char b : m_pending) {
            m_toggles.push_back(std::uint64_t(std::llround(t)));
            level = !level;
            if (b == '1') {
                m_toggles.push_back(std::uint64_t(std::llround(t + m_bit / 2)));
                level = !level;
            }
            t += m_bit;
        }
        if (level)
            m_toggles.push_back(std::uint64_t(std::llround(t)));
        m_samples = std::uint64_t(std::llround(t));
        m_pending.clear();
    }

    double m_rate;
    double m_bit;
    std::uint64_t m_samples = 0;
    std::vector<std::uint64_t> m_toggles;
    std::string m_pending;
};

} // namespace kvqtest
