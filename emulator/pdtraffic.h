#pragma once

// The CC line the emulated meter sniffs: a charger and a sink negotiating over
// USB Power Delivery, BMC-coded at 300 kbit/s and sampled at the capture rate,
// with long idle stretches between the bursts.

#include <cstdint>
#include <vector>

namespace kvq::emulator {

struct PdTrafficConfig {
    std::uint32_t sampleRateHz = 2000000;
    double firstBurst = 0.2;  // seconds after the capture started
    double burstPeriod = 1.0; // seconds between bursts
    int hardResetEvery = 5;   // every n-th burst ends with a Hard Reset (0: never)
};

class PdTraffic {
public:
    explicit PdTraffic(PdTrafficConfig config = {});

    // The next `bytes` bytes of the line: 8 samples a byte, least significant
    // bit first, continuing where the last call ended.
    void fill(std::uint8_t* out, std::size_t bytes);

    // One packet's line levels as toggle positions (in seconds from its
    // start); the line is low before the first and after the last.
    static std::vector<double> packetEdges(const std::vector<std::uint8_t>& bytes, const char* orderedSet);
    static std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

    std::uint64_t burstsStarted() const { return m_bursts; }

private:
    void scheduleBurst();

    PdTrafficConfig m_config;
    std::uint64_t m_position = 0;         // the next sample
    std::uint64_t m_nextBurst = 0;        // sample of the next burst's first packet
    std::vector<std::uint64_t> m_toggles; // absolute samples of pending level changes
    std::size_t m_nextToggle = 0;
    bool m_level = false;
    std::uint64_t m_bursts = 0;
    int m_sourceId = 0;
    int m_sinkId = 0;
};

} // namespace kvq::emulator
