#pragma once

#include <cstdint>

namespace kvq::emulator {

// One instant on the meter's inputs.
struct BusSample {
    double vbus = 0;      // V
    double ibus = 0;      // A
    double dp = 0;        // D+, V
    double dm = 0;        // D-, V
    double cc1 = 0;       // V
    double cc2 = 0;       // V
    bool reverse = false; // current flows from the sink side
};

// A charger negotiating up through 5 V, 9 V, 15 V and 20 V while its load
// changes, with ripple and noise; deterministic for a given seed. The cycle
// repeats every 60 s.
class ChargerScenario {
public:
    explicit ChargerScenario(std::uint32_t seed = 1) : m_state(seed ? seed : 1) {}
    BusSample at(double seconds);
    // A voltage the charger was asked for by a trigger; <= 0 returns to the cycle.
    void holdVoltage(double volts) { m_held = volts; }
    double heldVoltage() const { return m_held; }

private:
    double noise(); // uniform in [-1, 1)
    std::uint32_t m_state;
    double m_held = 0;
};

} // namespace kvq::emulator
