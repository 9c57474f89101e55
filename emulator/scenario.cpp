#include "emulator/scenario.h"

#include <cmath>

namespace kvq::emulator {

double ChargerScenario::noise()
{
    // xorshift32: cheap and repeatable across runs and platforms.
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    return double(m_state) / 2147483648.0 - 1.0;
}

BusSample ChargerScenario::at(double seconds)
{
    const double t = std::fmod(seconds < 0 ? 0 : seconds, 60.0);
    // 0-10 s 5 V, 10-25 s 9 V, 25-40 s 15 V, 40-60 s 20 V; 50 ms ramps.
    struct Step {
        double from, volts;
    };
    static const Step steps[] = {{0, 5.0}, {10, 9.0}, {25, 15.0}, {40, 20.0}};
    double target = 5.0, previous = 5.0, since = t;
    for (const Step& s : steps) {
        if (t >= s.from) {
            previous = target;
            target = s.volts;
            since = t - s.from;
        }
    }
    double volts = since < 0.05 ? previous + (target - previous) * since / 0.05 : target;
    if (m_held > 0)
        volts = m_held;

    // The sink draws more as the contract rises, with a slow breathing load
    // and short bursts every 7 s.
    const double watts = volts * (0.4 + 0.1 * volts / 5.0);
    double amps = watts / volts * (1.0 + 0.25 * std::sin(seconds * 2 * M_PI / 13.0));
    if (std::fmod(seconds, 7.0) < 0.3)
        amps *= 1.6;
    // Cable drop, 100 Hz ripple and noise.
    BusSample s;
    s.vbus = volts - 0.08 * amps + 0.012 * std::sin(seconds * 2 * M_PI * 100.0) + 0.002 * noise();
    s.ibus = amps + 0.004 * noise();
    if (s.ibus < 0)
        s.ibus = 0;
    // D+/D- at the BC1.2 levels a PD sink leaves them at; CC1 carries Rp/Rd,
    // CC2 is open (VCONN absent).
    s.dp = 0.60 + 0.005 * noise();
    s.dm = 0.60 + 0.005 * noise();
    s.cc1 = 1.68 + 0.01 * noise();
    s.cc2 = 0.0 + 0.002 * std::fabs(noise());
    s.reverse = false;
    return s;
}

} // namespace kvq::emulator
