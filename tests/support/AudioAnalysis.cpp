#include "support/AudioAnalysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

namespace qvm::test {
namespace {

std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t Le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void PutLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

void PutLe16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

double ToDb(double linear) {
    return linear > 0.0 ? std::max(kSilentDb, 20.0 * std::log10(linear)) : kSilentDb;
}

double Hann(std::size_t n, std::size_t size) {
    return size < 2 ? 1.0 : 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / (size - 1));
}

// In-place radix-2 FFT; the size must be a power of two.
void Fft(std::vector<std::complex<double>>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step =
            std::polar(1.0, -2.0 * std::numbers::pi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0);
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = a[i + k];
                const std::complex<double> v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

// Amplitude of one frequency, Hann-weighted.
double ToneAmplitude(std::span<const float> x, int rate, double frequency) {
    if (x.empty() || rate <= 0) {
        return 0.0;
    }
    const double omega = 2.0 * std::numbers::pi * frequency / rate;
    const double coeff = 2.0 * std::cos(omega);
    double s1 = 0.0;
    double s2 = 0.0;
    double weights = 0.0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double w = Hann(n, x.size());
        weights += w;
        const double s0 = x[n] * w + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return weights > 0.0 ? 2.0 * std::sqrt(std::max(0.0, power)) / weights : 0.0;
}

double MeanSquare(std::span<const float> x) {
    double sum = 0.0;
    for (const float v : x) {
        sum += static_cast<double>(v) * v;
    }
    return x.empty() ? 0.0 : sum / static_cast<double>(x.size());
}

enum class Kind { Silent, From, To, Other };

}  // namespace

std::vector<float> WavData::channel(int index, double from, double to) const {
    std::vector<float> out;
    if (channels <= 0 || sampleRate <= 0 || index >= channels) {
        return out;
    }
    const std::size_t total = frames();
    const auto first = static_cast<std::size_t>(std::clamp(from, 0.0, seconds()) * sampleRate);
    const auto last =
        std::min(total, static_cast<std::size_t>(std::clamp(to, 0.0, seconds()) * sampleRate));
    if (last <= first) {
        return out;
    }
    out.reserve(last - first);
    for (std::size_t f = first; f < last; ++f) {
        const std::int16_t* frame = samples.data() + f * static_cast<std::size_t>(channels);
        if (index >= 0) {
            out.push_back(frame[index] / 32768.0f);
        } else {
            float sum = 0.0f;
            for (int c = 0; c < channels; ++c) {
                sum += frame[c];
            }
            out.push_back(sum / (32768.0f * static_cast<float>(channels)));
        }
    }
    return out;
}

std::optional<WavData> ReadWav(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<WavData> {
        if (error) {
            *error = path + ": " + why;
        }
        return std::nullopt;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return fail("cannot open");
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0) {
        return fail("not a RIFF/WAVE file");
    }
    WavData wav;
    bool haveFormat = false;
    std::size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const std::uint32_t size = Le32(p + pos + 4);
        const std::size_t body = pos + 8;
        if (std::memcmp(p + pos, "fmt ", 4) == 0) {
            if (size < 16 || body + 16 > bytes.size()) {
                return fail("short fmt chunk");
            }
            const std::uint16_t format = Le16(p + body);
            const std::uint16_t bits = Le16(p + body + 14);
            if (format != 1 && format != 0xFFFE) {
                return fail("not PCM (format " + std::to_string(format) + ")");
            }
            if (bits != 16) {
                return fail("not 16-bit (" + std::to_string(bits) + " bits)");
            }
            wav.channels = Le16(p + body + 2);
            wav.sampleRate = static_cast<int>(Le32(p + body + 4));
            if (wav.channels < 1 || wav.sampleRate < 1) {
                return fail("bad channel count or sample rate");
            }
            haveFormat = true;
        } else if (std::memcmp(p + pos, "data", 4) == 0) {
            if (!haveFormat) {
                return fail("data before fmt");
            }
            std::size_t length = bytes.size() - body;
            if (size != 0 && size != 0xFFFFFFFFu && size <= length) {
                length = size;
            }
            const std::size_t block = static_cast<std::size_t>(wav.channels) * 2;
            length -= length % block;
            wav.samples.resize(length / 2);
            for (std::size_t i = 0; i < wav.samples.size(); ++i) {
                wav.samples[i] = static_cast<std::int16_t>(Le16(p + body + 2 * i));
            }
            return wav;
        }
        if (size > bytes.size() - body) {
            break;
        }
        pos = body + size + (size & 1);
    }
    return fail(haveFormat ? "no data chunk" : "no fmt chunk");
}

std::string PcmWavBytes(std::uint32_t rate, std::size_t dataBytes) {
    std::string wav = "RIFF";
    const auto u32 = [&](std::uint32_t v) { wav.append(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](std::uint16_t v) { wav.append(reinterpret_cast<const char*>(&v), 2); };
    u32(static_cast<std::uint32_t>(36 + dataBytes));
    wav += "WAVEfmt ";
    u32(16);
    u16(1);  // PCM
    u16(2);
    u32(rate);
    u32(rate * 4);
    u16(4);
    u16(16);
    wav += "data";
    u32(static_cast<std::uint32_t>(dataBytes));
    for (std::size_t i = 0; i < dataBytes / 2; ++i) {
        const std::int16_t v = (i / 2) % 2 == 0 ? 20000 : -20000;
        wav.append(reinterpret_cast<const char*>(&v), 2);
    }
    return wav;
}

bool WriteWav(const std::string& path, const WavData& wav) {
    if (wav.channels < 1 || wav.sampleRate < 1) {
        return false;
    }
    const auto dataBytes = static_cast<std::uint32_t>(wav.samples.size() * 2);
    std::string out = "RIFF";
    PutLe32(out, 36 + dataBytes);
    out += "WAVEfmt ";
    PutLe32(out, 16);
    PutLe16(out, 1);
    PutLe16(out, static_cast<std::uint16_t>(wav.channels));
    PutLe32(out, static_cast<std::uint32_t>(wav.sampleRate));
    PutLe32(out, static_cast<std::uint32_t>(wav.sampleRate * wav.channels * 2));
    PutLe16(out, static_cast<std::uint16_t>(wav.channels * 2));
    PutLe16(out, 16);
    out += "data";
    PutLe32(out, dataBytes);
    for (const std::int16_t s : wav.samples) {
        PutLe16(out, static_cast<std::uint16_t>(s));
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file);
}

double RmsDb(std::span<const float> samples) {
    return ToDb(std::sqrt(MeanSquare(samples)));
}

double PeakDb(std::span<const float> samples) {
    float peak = 0.0f;
    for (const float v : samples) {
        peak = std::max(peak, std::fabs(v));
    }
    return ToDb(peak);
}

double DominantFrequency(std::span<const float> samples, int sampleRate) {
    if (samples.size() < 4 || sampleRate <= 0 || PeakDb(samples) <= kSilentDb) {
        return 0.0;
    }
    std::size_t size = 1;
    while (size < samples.size() * 2) {
        size <<= 1;
    }
    std::vector<std::complex<double>> a(size);
    for (std::size_t n = 0; n < samples.size(); ++n) {
        a[n] = samples[n] * Hann(n, samples.size());
    }
    Fft(a);
    std::size_t best = 1;
    for (std::size_t k = 2; k < size / 2; ++k) {
        if (std::norm(a[k]) > std::norm(a[best])) {
            best = k;
        }
    }
    // Parabolic interpolation of the log magnitude around the peak bin.
    const double l = std::log(std::abs(a[best - 1]) + 1e-30);
    const double c = std::log(std::abs(a[best]) + 1e-30);
    const double r = std::log(std::abs(a[best + 1]) + 1e-30);
    const double denominator = l - 2.0 * c + r;
    const double shift = denominator != 0.0 ? 0.5 * (l - r) / denominator : 0.0;
    return (static_cast<double>(best) + std::clamp(shift, -0.5, 0.5)) * sampleRate /
           static_cast<double>(size);
}

double ToneLevelDb(std::span<const float> samples, int sampleRate, double frequency) {
    return ToDb(ToneAmplitude(samples, sampleRate, frequency));
}

std::vector<WindowStats> AnalyseWindows(const WavData& wav, double windowSeconds, int channel) {
    std::vector<WindowStats> out;
    const std::vector<float> x = wav.channel(channel);
    const auto size = static_cast<std::size_t>(windowSeconds * wav.sampleRate);
    if (size == 0) {
        return out;
    }
    for (std::size_t start = 0; start + size <= x.size(); start += size) {
        const std::span<const float> w(x.data() + start, size);
        out.push_back({static_cast<double>(start) / wav.sampleRate,
                       DominantFrequency(w, wav.sampleRate), RmsDb(w), PeakDb(w)});
    }
    return out;
}

std::optional<double> FindChange(const WavData& wav, double fromHz, double toHz,
                                 const ChangeOptions& options) {
    const std::vector<float> x = wav.channel(options.channel);
    const int rate = wav.sampleRate;
    const auto window = static_cast<std::size_t>(options.window * rate);
    const auto hop = std::max<std::size_t>(1, static_cast<std::size_t>(options.hop * rate));
    if (window == 0 || x.size() < window || fromHz == toHz) {
        return std::nullopt;
    }
    const double silentSquare = std::pow(10.0, options.silenceDb / 10.0);
    auto classify = [&](std::size_t start) {
        const std::span<const float> w(x.data() + start, window);
        const double meanSquare = MeanSquare(w);
        if (meanSquare < silentSquare) {
            return Kind::Silent;
        }
        // A tone "is" the signal when it carries at least half of its energy.
        auto share = [&](double hz) {
            const double a = ToneAmplitude(w, rate, hz);
            return a * a / 2.0 / meanSquare;
        };
        if (toHz > 0 && share(toHz) >= 0.5) {
            return Kind::To;
        }
        if (fromHz > 0 && share(fromHz) >= 0.5) {
            return Kind::From;
        }
        return Kind::Other;
    };
    const Kind fromKind = fromHz > 0 ? Kind::From : Kind::Silent;
    const Kind toKind = toHz > 0 ? Kind::To : Kind::Silent;
    const std::size_t holdWindows = static_cast<std::size_t>(options.hold * rate) / hop + 1;

    std::vector<Kind> kinds;
    const auto first = static_cast<std::size_t>(std::max(0.0, options.from) * rate);
    for (std::size_t start = first; start + window <= x.size(); start += hop) {
        kinds.push_back(classify(start));
    }
    std::optional<std::size_t> lastFrom;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kinds[i] == fromKind) {
            lastFrom = i;
            continue;
        }
        if (!lastFrom || kinds[i] != toKind) {
            continue;
        }
        const std::size_t end = std::min(kinds.size(), i + holdWindows);
        if (i + holdWindows > kinds.size() ||
            !std::all_of(kinds.begin() + static_cast<std::ptrdiff_t>(i),
                         kinds.begin() + static_cast<std::ptrdiff_t>(end),
                         [&](Kind k) { return k == toKind; })) {
            continue;
        }
        const std::size_t startSample = first + i * hop;
        const double threshold = std::pow(10.0, options.silenceDb / 20.0);
        if (toKind == Kind::Silent) {
            // The last sound before the silence.
            const std::size_t begin = first + *lastFrom * hop;
            std::size_t lastLoud = begin;
            for (std::size_t n = begin; n < startSample + window && n < x.size(); ++n) {
                if (std::fabs(x[n]) >= threshold) {
                    lastLoud = n + 1;
                }
            }
            return static_cast<double>(lastLoud) / rate;
        }
        if (fromKind == Kind::Silent) {
            // The first sound after the silence.
            for (std::size_t n = first + *lastFrom * hop; n < startSample + window; ++n) {
                if (std::fabs(x[n]) >= threshold) {
                    return static_cast<double>(n) / rate;
                }
            }
        }
        return (static_cast<double>(startSample) + window / 2.0) / rate;
    }
    return std::nullopt;
}

}  // namespace qvm::test
