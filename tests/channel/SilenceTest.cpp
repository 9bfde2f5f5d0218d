#include "channel/Silence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace qvm {
namespace {

// Feeds `seconds` of a constant peak in 20 ms blocks; returns how many
// detections happened and the time of the first, in seconds from the start.
struct Feeder {
    TSilence& s;
    std::uint32_t rate = 44100;
    std::uint32_t channels = 2;
    double clock = 0;
    std::vector<std::pair<double, int>> detections;  // (time, mode)

    explicit Feeder(TSilence& silence) : s(silence) {
        s.OnDetect = [this](TSilence&, std::uint8_t mode) { detections.push_back({clock, mode}); };
    }
    void feed(double seconds, std::int16_t peak) {
        const int frames = static_cast<int>(rate / 50);
        std::vector<std::int16_t> block(static_cast<std::size_t>(frames * channels), 0);
        block[0] = peak;
        for (double t = 0; t < seconds - 1e-9; t += 0.02) {
            s.Process(block.data(), static_cast<std::int32_t>(block.size() * 2), rate, channels);
            clock += 0.02;
        }
    }
};

TEST(TSilence, ScoreRisesAndFallsAndDetectsWhenItReachesTheTime) {
    TSilence s;
    Feeder f(s);
    s.SetMode(TSilence::WatchSilence, 5.0, -36);
    f.feed(3.0, 0);      // silence
    f.feed(1.0, 10000);  // sound
    f.feed(2.9, 0);
    EXPECT_TRUE(f.detections.empty());
    f.feed(0.1, 0);  // 3 - 1 + 3 = 5
    ASSERT_EQ(f.detections.size(), 1u);
    EXPECT_NEAR(f.detections[0].first, 7.0, 0.021);
    EXPECT_EQ(f.detections[0].second, TSilence::WatchSilence);
    EXPECT_EQ(s.Accum(), 0) << "the score starts again after a detection";
}

// The block's peak is its largest magnitude wherever it lies, a negative
// sample counting one less than its magnitude (so -32768 reads full scale).
TEST(TSilence, PeakIsTheLargestMagnitudeAnywhereInTheBlock) {
    struct Case {
        std::int16_t value;
        int peak;
    };
    const Case cases[] = {{520, 520}, {-521, 520}, {-1, 0}, {32767, 32767}, {-32768, 32767}};
    constexpr int kSamples = 1923;  // odd, so vector loops have a tail
    for (const Case& c : cases) {
        for (int at : {0, 7, kSamples / 2, kSamples - 1}) {
            std::vector<std::int16_t> block(kSamples, 3);
            block[static_cast<std::size_t>(at)] = c.value;
            TSilence s;
            s.SetMode(TSilence::WatchSilence, 5.0, -36);
            s.Process(block.data(), kSamples * 2, 44100, 1);
            EXPECT_DOUBLE_EQ(s.LastLevel(), TSilence::PeakToDb(std::max(c.peak, 3)))
                << c.value << " at " << at;
        }
    }
}

TEST(TSilence, ThresholdIsStrictInBothModes) {
    // Peaks around the default -36 dB: 520 is -35.99 dB (sound), 519 is -36.01 dB (silence).
    struct Case {
        std::uint8_t mode;
        std::int16_t peak;
        double level;
        bool counts;
    };
    const double atLevel = TSilence::PeakToDb(1000);
    const Case cases[] = {
        {TSilence::WatchSilence, 519, -36, true},
        {TSilence::WatchSilence, 520, -36, false},
        {TSilence::WatchSound, 520, -36, true},
        {TSilence::WatchSound, 519, -36, false},
        {TSilence::WatchSilence, 1000, atLevel, false},  // exactly at the threshold
        {TSilence::WatchSound, 1000, atLevel, false},
        {TSilence::WatchSilence, 0, -90.0, true},  // all zero reads -90.3 dB
    };
    for (const Case& c : cases) {
        TSilence s;
        Feeder f(s);
        s.SetMode(c.mode, 1.0, c.level);
        f.feed(1.0, c.peak);
        EXPECT_EQ(f.detections.size(), c.counts ? 1u : 0u) << int(c.mode) << " peak " << c.peak;
    }
    EXPECT_DOUBLE_EQ(TSilence::PeakToDb(0), -90.3);
}

TEST(TSilence, ZeroTimeSwitchesDetectionOff) {
    TSilence s;
    Feeder f(s);
    s.SetMode(TSilence::WatchSilence, 0, -36);
    EXPECT_EQ(s.Mode(), TSilence::Off);
    f.feed(10.0, 0);
    EXPECT_TRUE(f.detections.empty());
    EXPECT_EQ(s.Accum(), 0);
}

// The duration of a block comes from its real channel count: a mono stream is
// detected after the set time, not after twice the set time.
TEST(TSilence, MonoAndStereoTakeTheSameTime) {
    for (const std::uint32_t channels : {1u, 2u, 6u}) {
        TSilence s;
        Feeder f(s);
        f.channels = channels;
        f.rate = 22050;
        s.SetMode(TSilence::WatchSilence, 2.0, -36);
        f.feed(3.0, 0);
        ASSERT_FALSE(f.detections.empty()) << channels;
        EXPECT_NEAR(f.detections[0].first, 2.0, 0.021) << channels << " channels";
    }
}

}  // namespace
}  // namespace qvm
