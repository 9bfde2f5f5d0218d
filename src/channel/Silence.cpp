#include "channel/Silence.h"

#include <algorithm>
#include <cmath>

namespace qvm {

void TSilence::SetMode(std::uint8_t mode, double time, double level) {
    m_accum = 0;
    if (!(time > 0)) {
        m_mode = Off;
        m_time = 0;
    } else {
        m_mode = mode;
        m_time = time;
    }
    m_level = level;
}

double TSilence::PeakToDb(int peak) {
    if (peak < 1) {
        return -90.3;
    }
    return 20.0 * std::log10(peak / 32768.0);
}

void TSilence::Process(const std::int16_t* samples, std::int32_t lengthBytes, std::uint32_t rate,
                       std::uint32_t channels) {
    if (m_time == 0) {
        m_mode = Off;
    }
    if (m_mode == Off) {
        m_accum = 0;
        return;
    }
    // The peak of |v| with -32768 counting as 32767, taken as the largest and
    // the smallest sample: two plain reductions the compiler vectorises, for
    // every block of every channel.
    const std::int32_t count = lengthBytes > 0 ? lengthBytes / 2 : 0;
    std::int16_t high = 0;
    std::int16_t low = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        high = std::max(high, samples[i]);
        low = std::min(low, samples[i]);
    }
    const int peak = std::max(static_cast<int>(high), -1 - static_cast<int>(low));
    m_lastLevel = PeakToDb(peak);

    double d = 0;
    if (rate > 0 && channels > 0 && lengthBytes > 0) {
        d = static_cast<double>(lengthBytes) / (static_cast<double>(rate) * channels * 2.0);
    }
    const bool matches = m_mode == WatchSilence ? m_lastLevel < m_level : m_lastLevel > m_level;
    m_accum += matches ? d : -d;
    if (m_accum < 0) {
        m_accum = 0;
    }
    // The score is a sum of many block durations; a rounding error of that sum
    // must not cost a whole block.
    if (m_accum >= m_time - 1e-9) {
        m_accum = 0;
        if (auto callback = OnDetect) {
            callback(*this, m_mode);
        }
    }
}

}  // namespace qvm
