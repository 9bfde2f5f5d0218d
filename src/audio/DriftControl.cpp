#include "audio/DriftControl.h"

#include <algorithm>

namespace qvm::audio {

DriftControl::DriftControl(double targetFrames, double ceilingFrames, double frameRate,
                           double updateSeconds)
    : m_target(targetFrames),
      m_ceiling(std::max(targetFrames, ceilingFrames)),
      m_frameRate(frameRate > 0 ? frameRate : 1.0),
      m_dt(updateSeconds) {}

void DriftControl::restart() {
    m_filtered = -1.0;
    m_elapsed = 0.0;
    m_blocksFilled = 0;
    m_blockAt = 0;
    m_blockTop = 0.0;
    m_blockSeconds = 0.0;
}

double DriftControl::top(double fillFrames) {
    m_blockTop = std::max(m_blockTop, fillFrames);
    m_blockSeconds += m_dt;
    if (m_blockSeconds >= 1.0) {
        m_blockTops[m_blockAt] = m_blockTop;
        m_blockAt = (m_blockAt + 1) % kTopBlocks;
        m_blocksFilled = std::min(m_blocksFilled + 1, kTopBlocks);
        m_blockTop = 0.0;
        m_blockSeconds = 0.0;
    }
    double highest = m_blockTop;
    for (int i = 0; i < m_blocksFilled; ++i) {
        highest = std::max(highest, m_blockTops[i]);
    }
    return highest;
}

double DriftControl::update(double fillFrames) {
    const double highest = top(fillFrames);
    if (m_filtered < 0) {
        m_filtered = highest;
    }
    m_filtered += (highest - m_filtered) * std::min(1.0, m_dt / kFilterSeconds);
    m_elapsed += m_dt;
    if (m_elapsed < kSettleSeconds) {
        // Watch only: the fill found after the start is the one to hold.
        m_setpoint = std::min(m_filtered, m_ceiling);
        return ratio();
    }
    const double glide = kGlidePerSecond * m_frameRate * m_dt;
    m_setpoint = m_setpoint > m_target ? std::max(m_target, m_setpoint - glide)
                                       : std::min(m_target, m_setpoint + glide);

    // Critically damped: both poles at 1 / kLoopSeconds.
    constexpr double kOmega = 1.0 / kLoopSeconds;
    constexpr double kProportional = 2.0 * kOmega;
    constexpr double kIntegral = kOmega * kOmega;
    const double error = (m_filtered - m_setpoint) / m_frameRate;  // seconds of audio
    const double integral =
        std::clamp(m_integral + kIntegral * error * m_dt, -kMaxDeviation, kMaxDeviation);
    const double wanted =
        std::clamp(kProportional * error + integral, -kMaxDeviation, kMaxDeviation);
    const double slew = kSlewPerSecond * m_dt;
    const double step = std::clamp(wanted - m_correction, -slew, slew);
    const bool held = step != wanted - m_correction;
    if (!held || (wanted - m_correction) * (integral - m_integral) < 0) {
        m_integral = integral;
    }
    m_correction += step;
    return ratio();
}

}  // namespace qvm::audio
