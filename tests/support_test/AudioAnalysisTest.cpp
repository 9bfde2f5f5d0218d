// The measurements that engine tests rely on to hear captured output, checked
// on generated signals whose answers are known in closed form.
#include <gtest/gtest.h>

#include <QFile>
#include <cmath>
#include <numbers>
#include <vector>

#include "support/AudioAnalysis.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

// One segment of a generated signal: a sine (0 Hz = digital silence).
struct Segment {
    double frequency;
    double seconds;
    double amplitude = 0.5;
};

WavData Generate(const std::vector<Segment>& segments, int rate = 48000, int channels = 2) {
    WavData wav;
    wav.sampleRate = rate;
    wav.channels = channels;
    double phase = 0.0;
    for (const Segment& s : segments) {
        const auto n = static_cast<std::size_t>(std::llround(s.seconds * rate));
        for (std::size_t i = 0; i < n; ++i) {
            const double v = s.frequency > 0 ? s.amplitude * std::sin(phase) : 0.0;
            phase += 2.0 * std::numbers::pi * s.frequency / rate;
            for (int c = 0; c < channels; ++c) {
                wav.samples.push_back(static_cast<std::int16_t>(std::lround(v * 32767.0)));
            }
        }
    }
    return wav;
}

struct ToneCase {
    double frequency;
    double amplitude;
    int rate;
    double window;  // seconds analysed
};

class ToneMeasurement : public ::testing::TestWithParam<ToneCase> {};

TEST_P(ToneMeasurement, FrequencyAndLevelsOfAPureSine) {
    const ToneCase& c = GetParam();
    const WavData wav = Generate({{c.frequency, 1.0, c.amplitude}}, c.rate, 1);
    const std::vector<float> x = wav.channel(0, 0.1, 0.1 + c.window);
    const double amplitudeDb = 20.0 * std::log10(c.amplitude);

    // Within a tenth of an FFT bin (the window is zero-padded to twice its length).
    EXPECT_NEAR(DominantFrequency(x, c.rate), c.frequency, 0.1 / (2 * c.window));
    EXPECT_NEAR(PeakDb(x), amplitudeDb, 0.05);
    EXPECT_NEAR(RmsDb(x), amplitudeDb - 3.0103, 0.05);
    EXPECT_NEAR(ToneLevelDb(x, c.rate, c.frequency), amplitudeDb, 0.1);
    // A frequency a few bins away carries almost nothing of a Hann-windowed sine.
    EXPECT_LT(ToneLevelDb(x, c.rate, c.frequency + 8.0 / c.window), amplitudeDb - 40);
}

INSTANTIATE_TEST_SUITE_P(Tones, ToneMeasurement,
                         ::testing::Values(ToneCase{440, 0.5, 44100, 0.5},
                                           ToneCase{997, 0.1, 48000, 0.2},
                                           ToneCase{60, 0.9, 32000, 0.5},
                                           ToneCase{6000, 0.25, 22050, 0.05}),
                         [](const auto& p) {
                             return std::to_string(static_cast<int>(p.param.frequency)) + "Hz_" +
                                    std::to_string(p.param.rate);
                         });

TEST(AudioAnalysis, SilenceReadsAsTheFloorAndNoFrequency) {
    const WavData wav = Generate({{0, 0.5}});
    const std::vector<float> x = wav.channel();
    EXPECT_EQ(DominantFrequency(x, wav.sampleRate), 0.0);
    EXPECT_EQ(RmsDb(x), kSilentDb);
    EXPECT_EQ(PeakDb(x), kSilentDb);
    EXPECT_EQ(ToneLevelDb(x, wav.sampleRate, 440), kSilentDb);
    EXPECT_EQ(RmsDb({}), kSilentDb);
}

// Channels are read apart or as their mean, and a time range picks frames.
TEST(AudioAnalysis, ChannelSelectionAndTimeRange) {
    WavData wav;
    wav.sampleRate = 1000;
    wav.channels = 2;
    for (int i = 0; i < 1000; ++i) {
        wav.samples.push_back(16384);  // left: +0.5
        wav.samples.push_back(-8192);  // right: -0.25
    }
    EXPECT_EQ(wav.frames(), 1000u);
    EXPECT_DOUBLE_EQ(wav.seconds(), 1.0);
    EXPECT_EQ(wav.channel(0), std::vector<float>(1000, 0.5f));
    EXPECT_EQ(wav.channel(1, 0.25, 0.5), std::vector<float>(250, -0.25f));
    EXPECT_EQ(wav.channel(-1, 0.9), std::vector<float>(100, 0.125f));
    EXPECT_TRUE(wav.channel(2).empty());
    EXPECT_TRUE(wav.channel(0, 0.6, 0.5).empty());
    EXPECT_EQ(wav.channel(0, -1.0, 99.0).size(), 1000u);
}

TEST(AudioAnalysis, WindowsFollowTheSignal) {
    const WavData wav = Generate({{440, 0.3, 0.5}, {0, 0.2}, {1000, 0.3, 0.1}});
    const std::vector<WindowStats> windows = AnalyseWindows(wav, 0.1);
    ASSERT_EQ(windows.size(), 8u);
    const double expected[] = {440, 440, 440, 0, 0, 1000, 1000, 1000};
    for (std::size_t i = 0; i < windows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(windows[i].start, 0.1 * static_cast<double>(i), 1e-9);
        EXPECT_NEAR(windows[i].frequency, expected[i], 3.0);
        if (expected[i] == 0) {
            EXPECT_EQ(windows[i].rmsDb, kSilentDb);
        }
    }
    EXPECT_NEAR(windows[0].peakDb, -6.02, 0.05);
    EXPECT_NEAR(windows[6].rmsDb, -23.01, 0.05);
}

struct ChangeCase {
    const char* name;
    std::vector<Segment> signal;
    double fromHz;
    double toHz;
    double searchFrom;
    std::optional<double> expected;  // nullopt: no such change
    double tolerance;
};

// Where one state gives way to another, including the cases that must not
// count: a blip shorter than the hold time and a change that never happens.
TEST(AudioAnalysis, FindChangeLocatesTransitions) {
    const ChangeCase cases[] = {
        {"tone to silence", {{440, 1.0}, {0, 1.0}}, 440, 0, 0.0, 1.0, 0.002},
        {"silence to tone", {{0, 0.7}, {880, 1.0}}, 0, 880, 0.0, 0.7, 0.002},
        {"quiet tone after silence", {{0, 0.5}, {660, 1.0, 0.02}}, 0, 660, 0.0, 0.5, 0.002},
        {"tone to tone", {{440, 1.0}, {660, 1.0}}, 440, 660, 0.0, 1.0, 0.03},
        {"second change after from",
         {{440, 0.5}, {0, 0.5}, {440, 0.5}, {0, 1.0}},
         440,
         0,
         0.8,
         1.5,
         0.002},
        {"blip shorter than hold",
         {{440, 0.5}, {0, 0.1}, {440, 1.0}},
         440,
         0,
         0.0,
         std::nullopt,
         0},
        {"never changes", {{440, 2.0}}, 440, 660, 0.0, std::nullopt, 0},
        {"new state without the old", {{660, 1.0}}, 440, 660, 0.0, std::nullopt, 0},
    };
    for (const ChangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const WavData wav = Generate(c.signal);
        ChangeOptions options;
        options.from = c.searchFrom;
        const std::optional<double> found = FindChange(wav, c.fromHz, c.toHz, options);
        ASSERT_EQ(found.has_value(), c.expected.has_value()) << (found ? *found : -1.0);
        if (found) {
            EXPECT_NEAR(*found, *c.expected, c.tolerance);
        }
    }
}

// A cross-fade is found where the new tone starts to dominate.
TEST(AudioAnalysis, FindChangeInACrossFadeIsItsMiddle) {
    WavData wav;
    wav.sampleRate = 48000;
    wav.channels = 1;
    const double fadeStart = 1.0;
    const double fadeLength = 0.4;
    for (int i = 0; i < 3 * wav.sampleRate; ++i) {
        const double t = static_cast<double>(i) / wav.sampleRate;
        const double g = std::clamp((t - fadeStart) / fadeLength, 0.0, 1.0);
        const double v = 0.4 * ((1 - g) * std::sin(2 * std::numbers::pi * 440 * t) +
                                g * std::sin(2 * std::numbers::pi * 660 * t));
        wav.samples.push_back(static_cast<std::int16_t>(std::lround(v * 32767.0)));
    }
    const std::optional<double> found = FindChange(wav, 440, 660);
    ASSERT_TRUE(found);
    EXPECT_NEAR(*found, fadeStart + fadeLength / 2, 0.05);
}

TEST(AudioAnalysis, WavRoundTripAndCapturesStillBeingWritten) {
    TempDir dir;
    const WavData wav = Generate({{440, 0.25}}, 44100, 2);
    const std::string path = dir.file("a.wav").toStdString();
    ASSERT_TRUE(WriteWav(path, wav));
    std::string error;
    const std::optional<WavData> back = ReadWav(path, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->sampleRate, 44100);
    EXPECT_EQ(back->channels, 2);
    EXPECT_EQ(back->samples, wav.samples);

    // A capture killed before it fixed its sizes, with a partial last frame:
    // both size fields say 0 or 0xFFFFFFFF, the data runs to the end of the file.
    QByteArray bytes = dir.read("a.wav");
    for (const std::uint32_t unknown : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(unknown);
        QByteArray open = bytes;
        for (int offset : {4, 40}) {
            for (int i = 0; i < 4; ++i) {
                open[offset + i] = static_cast<char>((unknown >> (8 * i)) & 0xFF);
            }
        }
        open.append("\x01\x02\x03\x04\x05", 5);
        dir.write("open.wav", open);
        const std::optional<WavData> partial = ReadWav(dir.file("open.wav").toStdString(), &error);
        ASSERT_TRUE(partial) << error;
        EXPECT_EQ(partial->samples.size(),
                  wav.samples.size() + 2);  // one more whole frame, not the odd byte
    }

    // Files the analysis cannot read are refused with a reason.
    struct Bad {
        const char* name;
        QByteArray bytes;
        const char* reason;
    };
    QByteArray eightBit = bytes;
    eightBit[34] = 8;
    QByteArray floatFormat = bytes;
    floatFormat[20] = 3;
    const Bad bad[] = {
        {"text.wav", "hello", "not a RIFF/WAVE file"},
        {"8bit.wav", eightBit, "not 16-bit"},
        {"float.wav", floatFormat, "not PCM"},
        {"nodata.wav", bytes.left(36), "no data chunk"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.name);
        dir.write(b.name, b.bytes);
        error.clear();
        EXPECT_FALSE(ReadWav(dir.file(b.name).toStdString(), &error));
        EXPECT_NE(error.find(b.reason), std::string::npos) << error;
    }
    EXPECT_FALSE(ReadWav(dir.file("missing.wav").toStdString(), &error));
}

}  // namespace
}  // namespace qvm::test
