#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "audio/Mixer.h"
#include "support/AudioAnalysis.h"

namespace qvm::audio {
namespace {

constexpr std::uint32_t kDeviceRate = 48000;
constexpr std::uint32_t kPeriod = 960;  // 20 ms

// Interleaved 16-bit sine, the same on every channel.
std::vector<std::int16_t> sine(std::uint32_t rate, std::uint32_t chans, double hz, double amplitude,
                               double seconds) {
    const auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<std::int16_t> out(frames * chans);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int16_t>(std::lrint(
            amplitude * 32767.0 * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate)));
        for (std::uint32_t c = 0; c < chans; ++c) {
            out[i * chans + c] = v;
        }
    }
    return out;
}

void feed(MixChannel& ch, const std::vector<std::int16_t>& pcm) {
    ASSERT_EQ(ch.ring.write(pcm.data(), pcm.size() * 2), pcm.size() * 2) << "ring too small";
}

// Runs `periods` mixer periods and returns the device output.
std::vector<std::int16_t> run(Mixer& mixer, int periods) {
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> block(kPeriod * 2);
    for (int p = 0; p < periods; ++p) {
        mixer.mix(block.data());
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

test::WavData asWav(std::vector<std::int16_t> samples) {
    test::WavData wav;
    wav.sampleRate = kDeviceRate;
    wav.channels = 2;
    wav.samples = std::move(samples);
    return wav;
}

struct DspSeen {
    std::uint32_t calls = 0;
    std::uint32_t minLength = UINT32_MAX;
    std::uint32_t maxLength = 0;
    std::vector<std::int16_t> samples;  // as the callback saw them
    float gain = 1.0f;                  // applied in place
};

void recordingDsp(DspHandle, StreamHandle, void* buffer, std::uint32_t length, void* user) {
    auto* seen = static_cast<DspSeen*>(user);
    ++seen->calls;
    seen->minLength = std::min(seen->minLength, length);
    seen->maxLength = std::max(seen->maxLength, length);
    auto* s = static_cast<std::int16_t*>(buffer);
    seen->samples.insert(seen->samples.end(), s, s + length / 2);
    for (std::uint32_t i = 0; i < length / 2; ++i) {
        s[i] = static_cast<std::int16_t>(s[i] * seen->gain);
    }
}

// Streams of other rates and channel counts: the DSP callback gets the
// stream's own format, the device gets stereo at its rate with the tone's
// pitch, and the level reading holds the block's peaks.
TEST(Mixer, NativeFormatForDspAndConvertedForTheDevice) {
    const struct {
        std::uint32_t rate;
        std::uint32_t chans;
    } formats[] = {{48000, 2}, {44100, 2}, {22050, 1}, {32000, 6}};
    for (const auto& f : formats) {
        SCOPED_TRACE(testing::Message() << f.rate << " Hz, " << f.chans << " channels");
        MixChannel ch(1, f.rate, f.chans, std::size_t{f.rate} * f.chans * 2 * 2);
        feed(ch, sine(f.rate, f.chans, 1000.0, 0.5, 1.5));
        DspSeen seen;
        ch.dsps.push_back({1, &recordingDsp, &seen, 0});
        Mixer mixer(kDeviceRate, kPeriod);
        ASSERT_TRUE(mixer.add(&ch));
        const test::WavData out = asWav(run(mixer, 50));  // one second

        // About rate / 50 frames per period, whole frames only; the first
        // block also fills the converter's cushion.
        const std::uint32_t frameBytes = f.chans * 2;
        const std::uint32_t cushion = DeviceConverter::kCushionFrames * f.rate / kDeviceRate + 1;
        EXPECT_EQ(seen.calls, 50u);
        EXPECT_EQ(seen.minLength % frameBytes, 0u);
        EXPECT_GE(seen.minLength, (f.rate / 50 - 1) * frameBytes);
        EXPECT_LE(seen.maxLength, (f.rate / 50 + 1 + cushion) * frameBytes);
        test::WavData native;
        native.sampleRate = static_cast<int>(f.rate);
        native.channels = static_cast<int>(f.chans);
        native.samples = seen.samples;
        EXPECT_NEAR(test::DominantFrequency(native.channel(0), native.sampleRate), 1000.0, 5.0);

        for (int side = 0; side < 2; ++side) {
            const std::vector<float> s = out.channel(side, 0.1, 1.0);
            EXPECT_NEAR(test::DominantFrequency(s, kDeviceRate), 1000.0, 5.0);
            EXPECT_NEAR(test::ToneLevelDb(s, kDeviceRate, 1000.0), -6.0, 1.0);
        }
        const std::uint32_t level = ch.level.load();
        EXPECT_NEAR(static_cast<double>(level & 0xFFFF), 16384.0, 200.0);
        EXPECT_NEAR(static_cast<double>(level >> 16), 16384.0, 200.0);
    }
}

TEST(Mixer, DspChangeIsHeardAndLevelIsTakenAfterIt) {
    MixChannel ch(1, 48000, 2, 48000 * 4 * 2);
    feed(ch, sine(48000, 2, 440.0, 0.5, 1.0));
    DspSeen seen;
    seen.gain = 0.25f;
    ch.dsps.push_back({1, &recordingDsp, &seen, 0});
    Mixer mixer(kDeviceRate, kPeriod);
    ASSERT_TRUE(mixer.add(&ch));
    const test::WavData out = asWav(run(mixer, 25));
    EXPECT_NEAR(test::ToneLevelDb(out.channel(-1, 0.05, 0.5), kDeviceRate, 440.0), -18.0, 1.0);
    EXPECT_NEAR(static_cast<double>(ch.level.load() & 0xFFFF), 4096.0, 64.0);
}

// The frames the converter holds back at 48 kHz (its filter's delay and the
// cushion): DC fed from the start shows where it begins in the output.
std::size_t ConverterLag(const std::vector<std::int16_t>& out) {
    std::size_t i = 0;
    while (i < out.size() / 2 && out[2 * i] == 0) {
        ++i;
    }
    return i;
}

// A volume change ramps linearly over one period from the previous value, so
// the output never jumps; the level reading ignores the volume. A stream
// comes in from silence on a ramp starting at zero.
TEST(Mixer, VolumeRampsPerSample) {
    MixChannel ch(1, 48000, 2, 48000 * 4);
    feed(ch, std::vector<std::int16_t>(48000 / 2 * 2, 16384));  // half a second of DC
    ch.volume.store(0.0f);
    Mixer mixer(kDeviceRate, kPeriod);
    ASSERT_TRUE(mixer.add(&ch));
    for (std::int16_t v : run(mixer, 2)) {
        EXPECT_EQ(v, 0);
    }
    ch.volume.store(1.0f);
    const std::vector<std::int16_t> up = run(mixer, 4);
    const std::size_t lag = ConverterLag(up);
    ASSERT_LT(lag, 40u);
    EXPECT_LT(std::abs(up[2 * (lag + 20)]), 16384 * (lag + 21) / kPeriod + 200)
        << "comes in on the ramp, not at once";
    for (std::size_t i = 2 * kPeriod; i < 4 * kPeriod; ++i) {
        ASSERT_NEAR(up[2 * i], 16384, 2) << "frame " << i;
        ASSERT_EQ(up[2 * i], up[2 * i + 1]);
    }
    // Down to half over one period, and back up over the next.
    ch.volume.store(0.5f);
    const std::vector<std::int16_t> down = run(mixer, 1);
    ch.volume.store(1.0f);
    const std::vector<std::int16_t> back = run(mixer, 1);
    for (std::size_t i = 0; i < kPeriod; ++i) {
        const double t = static_cast<double>(i + 1) / kPeriod;
        ASSERT_NEAR(down[2 * i], 16384.0 * (1.0 - 0.5 * t), 3.0) << "frame " << i;
        ASSERT_NEAR(back[2 * i], 16384.0 * (0.5 + 0.5 * t), 3.0) << "frame " << i;
    }
    EXPECT_EQ(ch.level.load(), 16384u | (16384u << 16));
}

// A device may ask for several periods in one call: the audio is the same as
// period by period, and every period is still a block of its own for the DSP.
TEST(Mixer, SeveralPeriodsPerCallSoundTheSame) {
    const std::vector<std::int16_t> pcm = sine(44100, 2, 1000.0, 0.5, 1.0);
    MixChannel single(1, 44100, 2, pcm.size() * 2);
    MixChannel burst(1, 44100, 2, pcm.size() * 2);
    feed(single, pcm);
    feed(burst, pcm);
    DspSeen seen;
    burst.dsps.push_back({1, &recordingDsp, &seen, 0});
    Mixer one(kDeviceRate, kPeriod);
    Mixer five(kDeviceRate, kPeriod);
    ASSERT_TRUE(one.add(&single));
    ASSERT_TRUE(five.add(&burst));
    const std::vector<std::int16_t> expected = run(one, 40);
    std::vector<std::int16_t> got(expected.size());
    for (std::size_t at = 0; at < got.size(); at += kPeriod * 2 * 5) {
        five.mix(got.data() + at, 5);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(seen.calls, 40u);
    EXPECT_LE(seen.maxLength, (882u + DeviceConverter::kCushionFrames + 1) * 4);
    EXPECT_GE(seen.minLength, 881u * 4);
}

// Over a call of several periods, a volume change ramps across all of them
// (a coarse device still fades smoothly) and the level holds the loudest peak
// among them, not just the last block's.
TEST(Mixer, SeveralPeriodsPerCallSpreadTheRampAndKeepTheLoudestPeak) {
    constexpr std::uint32_t kParts = 5;
    MixChannel ch(1, 48000, 2, 48000 * 4 * 2);
    // A steady tone of DC first, so that the converter's filter has settled.
    feed(ch, std::vector<std::int16_t>(kPeriod * 2 * 4, 16384));
    feed(ch, std::vector<std::int16_t>(kPeriod * 2, 16384));
    feed(ch, std::vector<std::int16_t>(kPeriod * 2 * (kParts - 1), 8192));
    feed(ch, std::vector<std::int16_t>(kPeriod * 2, 100));  // what the cushion takes ahead
    ch.volume.store(1.0f);
    Mixer mixer(kDeviceRate, kPeriod);
    ASSERT_TRUE(mixer.add(&ch));
    const std::size_t lag = ConverterLag(run(mixer, 4));
    ch.volume.store(0.0f);
    std::vector<std::int16_t> out(kPeriod * 2 * kParts);
    mixer.mix(out.data(), kParts);

    const double total = kPeriod * kParts;
    for (std::size_t i = 0; i < kPeriod; ++i) {
        // The first block: DC 16384 falling over all five periods.
        ASSERT_NEAR(out[2 * i], 16384.0 * (1.0 - static_cast<double>(i + 1) / total), 3.0) << i;
    }
    const std::size_t late = 4 * kPeriod + lag + 100;  // in the last block: DC 8192
    EXPECT_NEAR(out[2 * late], 8192.0 * (1.0 - static_cast<double>(late + 1) / total), 4.0);
    EXPECT_EQ(ch.level.load(), 16384u | (16384u << 16));

    // The next call starts from the peaks of its own blocks.
    feed(ch, std::vector<std::int16_t>(kPeriod * 2 * kParts, 100));
    mixer.mix(out.data(), kParts);
    EXPECT_EQ(ch.level.load(), 100u | (100u << 16));
}

TEST(Mixer, SumsClipsAndEndsStreamsThatRunOut) {
    MixChannel loud1(1, 48000, 2, 48000 * 4);
    MixChannel loud2(2, 48000, 2, 48000 * 4);
    feed(loud1, std::vector<std::int16_t>(kPeriod * 2 * 3, 30000));
    feed(loud2, std::vector<std::int16_t>(kPeriod * 2 * 3, 30000));
    MixChannel quiet(3, 48000, 2, 48000 * 4);
    feed(quiet, std::vector<std::int16_t>(kPeriod * 2 * 3, -1000));
    Mixer mixer(kDeviceRate, kPeriod);
    for (MixChannel* ch : {&loud1, &loud2, &quiet}) {
        ch->volume.store(1.0f);
        ASSERT_TRUE(mixer.add(ch));
    }
    const std::vector<std::int16_t> out = run(mixer, 5);
    EXPECT_EQ(out[2 * (kPeriod + 100)], 32767);  // 59000 clipped

    // After the rings run short: silence, not noise or a repeat (the
    // converter's filter rings out over a few dozen frames).
    for (std::size_t i = 2 * (3 * kPeriod + 60); i < out.size(); ++i) {
        ASSERT_EQ(out[i], 0) << "sample " << i;
    }
    EXPECT_FALSE(mixer.anyDrained());  // their readers have not ended
    loud1.readerDone.store(true);
    run(mixer, 1);
    EXPECT_TRUE(mixer.anyDrained());
    EXPECT_TRUE(loud1.drained.load());
    EXPECT_FALSE(loud2.drained.load());
    mixer.remove(&loud1);
    EXPECT_FALSE(mixer.contains(&loud1));
    EXPECT_EQ(mixer.size(), 2u);
}

// The lengths of the runs of silence (|v| <= 1, at least 3 ms) in a mix.
std::vector<std::size_t> SilentRuns(const std::vector<std::int16_t>& out) {
    std::vector<std::size_t> runs;
    std::size_t length = 0;
    for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
        if (std::abs(out[i]) <= 1) {
            ++length;
            continue;
        }
        if (length >= kDeviceRate * 3 / 1000) {
            runs.push_back(length);
        }
        length = 0;
    }
    if (length >= kDeviceRate * 3 / 1000) {
        runs.push_back(length);
    }
    return runs;
}

// A stream that cannot keep up (here: 15 ms of audio for every 20 ms period)
// does not play as a sieve of short holes: it stalls once it runs dry, stays
// silent and takes nothing until half its buffer has gathered, then plays
// that in one piece. Its fill reads as empty while it is stalled. Its start
// and every gap's edges are ramped, not cut mid-waveform.
TEST(Mixer, StarvingStreamStallsCleanlyInsteadOfPlayingAsASieve) {
    constexpr std::size_t kSecond = 48000 * 4;
    MixChannel ch(1, 48000, 2, kSecond);  // one second of buffer
    ch.volume.store(1.0f);
    const std::vector<std::int16_t> tone = sine(48000, 2, 1000.0, 0.5, 60.0);
    std::size_t fed = 0;
    const auto trickle = [&](std::size_t frames) {
        ch.ring.write(tone.data() + fed * 2, frames * 4);
        fed += frames;
    };
    trickle(48000 / 2);
    Mixer mixer(kDeviceRate, kPeriod);
    ASSERT_TRUE(mixer.add(&ch));
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> block(kPeriod * 2);
    std::uint32_t stalledPeriods = 0;
    for (int p = 0; p < 500; ++p) {  // ten seconds
        trickle(720);
        const std::size_t before = ch.ring.readable();
        const bool wasStalled = ch.stalled.load();
        mixer.mix(block.data());
        out.insert(out.end(), block.begin(), block.end());
        if (wasStalled && ch.stalled.load()) {
            ++stalledPeriods;
            EXPECT_EQ(ch.ring.readable(), before) << "a stalled stream takes nothing";
            EXPECT_EQ(ch.level.load(), 0u);
        }
    }
    // 7.5 s of audio for 10 s: about 2.5 s of silence, in a few long gaps.
    const std::vector<std::size_t> gaps = SilentRuns(out);
    const std::uint32_t stalls = ch.stalls.load();
    EXPECT_GE(stalls, 2u);
    EXPECT_LE(stalls, 6u);
    EXPECT_EQ(gaps.size(), stalls) << "one gap per stall, nothing in between";
    EXPECT_EQ(mixer.stalls(), stalls);
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        if (i + 1 == gaps.size() && ch.stalled.load()) {
            break;  // cut short by the end of the run
        }
        EXPECT_GT(gaps[i], 48000u * 3 / 10) << "each gap lasts until half the buffer gathered";
    }
    EXPECT_GT(stalledPeriods, 80u);
    // The tone moves by at most 0.065 of full scale per sample; a cut edge
    // jumps by up to its amplitude, 0.5.
    int largestStep = 0;
    for (std::size_t i = 2; i < out.size(); i += 2) {
        largestStep = std::max(largestStep, std::abs(out[i] - out[i - 2]));
    }
    EXPECT_LT(largestStep, 0.075 * 32768) << "a click at an edge";
}

}  // namespace
}  // namespace qvm::audio
