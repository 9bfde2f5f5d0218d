#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Measures recorded audio by its properties (frequency, level, timing) rather
// than by bytes, so that checks survive encoder and resampler changes.
namespace qvm::test {

inline constexpr double kSilentDb = -120.0;  // the floor of every level below

struct WavData {
    int sampleRate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;  // interleaved

    std::size_t frames() const {
        return channels > 0 ? samples.size() / static_cast<std::size_t>(channels) : 0;
    }
    double seconds() const {
        return sampleRate > 0 ? static_cast<double>(frames()) / sampleRate : 0.0;
    }
    // Channel `channel` (or the mean of all channels when negative) from `from`
    // to `to` seconds, as floats of full scale 1.0.
    std::vector<float> channel(int channel = -1, double from = 0.0,
                               double to = std::numeric_limits<double>::infinity()) const;
};

// Reads a 16-bit PCM WAV file. Sizes left at 0 or 0xFFFFFFFF (a capture still
// being written, or killed) are taken as "up to the end of the file".
std::optional<WavData> ReadWav(const std::string& path, std::string* error = nullptr);
bool WriteWav(const std::string& path, const WavData& wav);
// The bytes of a 16-bit stereo PCM WAV file whose header declares `rate` Hz,
// holding `dataBytes` of a loud square wave: a file whatever its rate says.
std::string PcmWavBytes(std::uint32_t rate, std::size_t dataBytes);

// Levels in dBFS: a full-scale sine has a peak of 0 dB and an RMS of -3.01 dB.
double RmsDb(std::span<const float> samples);
double PeakDb(std::span<const float> samples);
// The strongest frequency (FFT peak, interpolated), 0 for digital silence.
double DominantFrequency(std::span<const float> samples, int sampleRate);
// The amplitude of one frequency (Goertzel over a Hann window) as a peak level
// in dBFS: a sine of amplitude 0.5 at `frequency` reads about -6 dB.
double ToneLevelDb(std::span<const float> samples, int sampleRate, double frequency);

struct WindowStats {
    double start = 0.0;  // seconds
    double frequency = 0.0;
    double rmsDb = kSilentDb;
    double peakDb = kSilentDb;
};
// Consecutive windows of `windowSeconds` over one channel (or the mean).
std::vector<WindowStats> AnalyseWindows(const WavData& wav, double windowSeconds = 0.1,
                                        int channel = -1);

struct ChangeOptions {
    double from = 0.0;     // search from this time (seconds)
    double window = 0.05;  // analysis window; tones should differ by 60 Hz or more
    double hop = 0.005;
    double silenceDb = -50.0;  // RMS below this is silence
    double hold = 0.2;         // the new state must last this long
    int channel = -1;          // -1 = mean of all channels
};
// The time (seconds) at which the signal changes from a tone of `fromHz` to a
// tone of `toHz`, where 0 Hz stands for silence: the first moment after the
// old state was seen from which the new one holds for `hold` seconds. Accurate
// to a few milliseconds for silence on either side, to about `hop` between
// tones (the moment the new tone carries more energy than the old one, i.e.
// the middle of a cross-fade).
std::optional<double> FindChange(const WavData& wav, double fromHz, double toHz,
                                 const ChangeOptions& options = {});

}  // namespace qvm::test
