#pragma once

#include <cstdint>
#include <functional>

namespace qvm {

// Watches the blocks of one channel for silence (mode 1) or for the sound to
// return (mode 2). The score rises with blocks that match the watched
// condition and falls with the others, so isolated blocks do not reset it; the
// condition must lead by `Time` seconds of audio before it is reported. UI
// thread only.
class TSilence {
  public:
    enum Mode : std::uint8_t { Off = 0, WatchSilence = 1, WatchSound = 2 };

    // Called with the mode in which the detection happened.
    std::function<void(TSilence&, std::uint8_t mode)> OnDetect;

    void SetMode(std::uint8_t mode, double time, double level);
    // One block of interleaved signed 16-bit samples. The block's duration is
    // taken from its real channel count.
    void Process(const std::int16_t* samples, std::int32_t lengthBytes, std::uint32_t rate,
                 std::uint32_t channels);

    static double PeakToDb(int peak);

    std::uint8_t Mode() const { return m_mode; }
    double Time() const { return m_time; }
    double Accum() const { return m_accum; }
    double Level() const { return m_level; }
    double LastLevel() const { return m_lastLevel; }

  private:
    std::uint8_t m_mode = Off;
    double m_time = 0;
    double m_accum = 0;
    double m_level = 0;
    double m_lastLevel = 0;
};

}  // namespace qvm
