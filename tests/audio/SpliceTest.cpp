// Lining up a new connection's audio with the old one's, on audio of known
// shape: the search must find the exact place, feel its way past silence at
// the old audio's end, and not take a repeating tone's look-alike for it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include "audio/Splice.h"

namespace qvm::audio {
namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kChans = 2;

// Music-like stereo audio: a few tones with noise, every sample different.
std::vector<std::int16_t> Programme(std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 800.0);
    std::vector<std::int16_t> out(frames * kChans);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double music = 6000.0 * std::sin(2 * M_PI * 220.0 * t) +
                             3000.0 * std::sin(2 * M_PI * 1234.5 * t + 0.3);
        for (std::uint32_t c = 0; c < kChans; ++c) {
            out[i * kChans + c] = static_cast<std::int16_t>(std::lround(music + noise(random)));
        }
    }
    return out;
}

std::vector<std::int16_t> Slice(const std::vector<std::int16_t>& audio, std::size_t from,
                                std::size_t to) {
    return {audio.begin() + static_cast<std::ptrdiff_t>(from * kChans),
            audio.begin() + static_cast<std::ptrdiff_t>(to * kChans)};
}

// The newest second, as the reader keeps it.
std::vector<std::int16_t> TailOf(const std::vector<std::int16_t>& old) {
    AudioTail tail(kRate, kChans);
    tail.append(old.data(), old.size() / kChans);
    return tail.copy();
}

// The old connection delivered frames [0, oldEnd) of the programme; the new
// one starts at `freshFrom` (before oldEnd: a burst that repeats them).
struct Case {
    const char* name;
    std::size_t oldEnd;
    std::size_t freshFrom;
    std::size_t freshTo;
    std::size_t silentTail;  // frames of digital silence at the old audio's end
    bool found;
};

TEST(Splice, FindsWhereTheNewAudioContinuesTheOld) {
    const Case cases[] = {
        {"burst of 4 s", 10 * kRate, 6 * kRate, 12 * kRate, 0, true},
        {"burst barely covering the probe", 10 * kRate, 10 * kRate - kRate / 9, 11 * kRate, 0,
         true},
        {"silence at the old end", 10 * kRate, 7 * kRate, 12 * kRate, kRate / 4, true},
        {"new audio only", 10 * kRate, 10 * kRate + 500, 12 * kRate, 0, false},
    };
    const std::vector<std::int16_t> programme = Programme(12 * kRate, 7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::int16_t> audio = programme;
        std::fill(audio.begin() + static_cast<std::ptrdiff_t>((c.oldEnd - c.silentTail) * kChans),
                  audio.begin() + static_cast<std::ptrdiff_t>(c.oldEnd * kChans), 0);
        const std::vector<std::int16_t> old = Slice(audio, 0, c.oldEnd);
        const std::vector<std::int16_t> fresh = Slice(audio, c.freshFrom, c.freshTo);
        SpliceFinder finder;
        ASSERT_TRUE(finder.start(TailOf(old), kChans, kRate));
        // As the new audio comes in: packets of 1152 frames.
        for (std::size_t have = 0; have < fresh.size() / kChans;) {
            have = std::min(fresh.size() / kChans, have + 1152);
            finder.search(std::span(fresh).first(have * kChans));
        }
        if (c.found) {
            ASSERT_TRUE(finder.exact());
            EXPECT_EQ(*finder.exact(), c.oldEnd - c.freshFrom);
        } else {
            EXPECT_FALSE(finder.best());
        }
    }
}

// A steady tone whose period is a whole number of samples looks the same a
// period earlier, give or take the coding noise; only the exact place counts.
TEST(Splice, RepeatingToneIsLinedUpAtTheExactPlaceNotAPeriodOff) {
    constexpr std::size_t kPeriod = 147;  // 300 Hz
    std::mt19937 random(3);
    std::uniform_int_distribution<int> noise(-2, 2);
    std::vector<std::int16_t> audio(6 * kRate * kChans);
    for (std::size_t i = 0; i < audio.size() / kChans; ++i) {
        const double v = 16000.0 * std::sin(2 * M_PI * static_cast<double>(i % kPeriod) / kPeriod);
        audio[i * kChans] = audio[i * kChans + 1] =
            static_cast<std::int16_t>(std::lround(v) + noise(random));
    }
    const std::vector<std::int16_t> old = Slice(audio, 0, 4 * kRate);
    const std::vector<std::int16_t> fresh = Slice(audio, 2 * kRate, 6 * kRate);
    SpliceFinder finder;
    ASSERT_TRUE(finder.start(TailOf(old), kChans, kRate));
    finder.search(fresh);
    ASSERT_TRUE(finder.exact());
    EXPECT_EQ(*finder.exact(), 2 * kRate);
}

TEST(Splice, SilenceCannotBeLinedUp) {
    const std::vector<std::int16_t> old(2 * kRate * kChans, 3);
    SpliceFinder finder;
    EXPECT_FALSE(finder.start(TailOf(old), kChans, kRate));
    finder.search(old);
    EXPECT_FALSE(finder.best());
}

TEST(Splice, TailKeepsTheNewestSecond) {
    const std::vector<std::int16_t> audio = Programme(3 * kRate + 77, 5);
    AudioTail tail(kRate, kChans);
    // Packets of every size, one larger than the whole tail.
    const std::size_t sizes[] = {1000, 1, kRate + 5, 333, 1152};
    std::size_t at = 0;
    for (std::size_t i = 0; at < audio.size() / kChans; ++i) {
        const std::size_t n = std::min(sizes[i % std::size(sizes)], audio.size() / kChans - at);
        tail.append(audio.data() + at * kChans, n);
        at += n;
    }
    EXPECT_EQ(tail.frames(), kRate);
    const std::vector<std::int16_t> kept = tail.copy();
    ASSERT_EQ(kept.size(), kRate * kChans);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(),
                           audio.end() - static_cast<std::ptrdiff_t>(kept.size())));
}

// A join across a gap starts at the old audio's last value and reaches the
// new audio's own within the ramp; nothing after it changes.
TEST(Splice, BendStartsAtTheOldValueAndEndsOnTheNew) {
    const std::int16_t last[kChans] = {20000, -20000};
    std::vector<std::int16_t> fresh(1000 * kChans, 100);
    BendOnto(last, fresh.data(), 1000, 220, kChans);
    EXPECT_NEAR(fresh[0], 20000, 200);
    EXPECT_NEAR(fresh[1], -20000, 200);
    for (std::size_t i = 1; i < 220; ++i) {
        EXPECT_LE(std::abs(fresh[i * kChans] - fresh[(i - 1) * kChans]), 300) << i;
    }
    EXPECT_EQ(fresh[220 * kChans], 100);
    EXPECT_EQ(fresh[999 * kChans + 1], 100);
}

}  // namespace
}  // namespace qvm::audio
