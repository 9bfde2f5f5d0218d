// Senders whose clocks run 1 % slow and 1 % fast against ours, served in real
// time on loopback and played by the real engine on the null output: what a
// station's relay meets over days, compressed into two minutes.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "EngineTestSupport.h"
#include "support/AudioAnalysis.h"
#include "support/StreamServer.h"

namespace qvm::audio::test {
namespace {

using qvm::test::MountSpec;
using qvm::test::StreamServer;
using qvm::test::Tone;

constexpr double kSlowHz = 1000.0;
constexpr double kFastHz = 2500.0;
constexpr int kBytesPerSecond = 128000 / 8;  // the mounts' MP3, without metadata

struct Sender {
    const char* name;
    const char* path;
    double hz;
    double pace;
    StreamHandle stream = 0;
    double firstDelay = 0.0;  // seconds behind the sender, once settled
    double lastDelay = 0.0;
};

// The frequency near `hz` (within `span`) with the most energy, to a
// twentieth of a hertz: a coarse scan, then a fine one around its best.
double PeakNear(const std::vector<float>& samples, int rate, double hz, double span) {
    const auto best = [&](double from, double to, double step) {
        double found = from;
        double foundDb = -1e9;
        for (double f = from; f <= to; f += step) {
            const double db = qvm::test::ToneLevelDb(samples, rate, f);
            if (db > foundDb) {
                foundDb = db;
                found = f;
            }
        }
        return found;
    };
    const double coarse = best(hz - span, hz + span, 1.0);
    return best(coarse - 1.0, coarse + 1.0, 0.05);
}

// Both streams play for two minutes with a one-second buffer. Without drift
// compensation the slow one runs dry after about a minute and a half, and the
// fast one falls a second further behind live every hundred seconds.
TEST(EngineDrift, SlowAndFastSendersPlayWithoutHolesAtBoundedDelay) {
    QTemporaryDir dir;
    const std::string wavPath = dir.filePath("capture.wav").toStdString();
    ::setenv("QVMIRELTA_CAPTURE_WAV", wavPath.c_str(), 1);
    auto engine = CreateAudioEngine();
    ASSERT_TRUE(engine->Init(NullDeviceNumber(*engine), 48000));
    ::unsetenv("QVMIRELTA_CAPTURE_WAV");
    NetConfig config;
    config.bufferMs = 1000;
    engine->SetNetConfig(config);

    StreamServer server;
    Sender senders[] = {{"slow", "/slow.mp3", kSlowHz, 0.99}, {"fast", "/fast.mp3", kFastHz, 1.01}};
    for (Sender& s : senders) {
        server.addMount(
            s.path, MountSpec{.metaint = 0, .pace = s.pace, .script = {Tone{s.hz, kLong, 0.5}}});
        s.stream = engine->StreamCreateURL(server.url(s.path), nullptr);
        ASSERT_NE(s.stream, 0u) << engine->ErrorGetCode();
    }
    // As a channel does: play once the buffer is full.
    const auto full = [&](StreamHandle stream) {
        return engine->StreamGetFilePosition(stream, FilePos::Buffer) * 10 >
               engine->StreamGetFilePosition(stream, FilePos::End) * 9;
    };
    for (Sender& s : senders) {
        ASSERT_TRUE(WaitUntil([&] { return full(s.stream); }, milliseconds(10000)));
        ASSERT_TRUE(engine->ChannelSetVolume(s.stream, 0.5f));
        ASSERT_TRUE(engine->ChannelPlay(s.stream));
    }
    const auto start = Clock::now();
    const auto delayOf = [&](const Sender& s) {
        const auto sent = server.lastConnection(s.path);
        const double sentSeconds =
            sent ? static_cast<double>(sent->bodyBytes) / kBytesPerSecond : 0.0;
        ChannelInfo info;
        engine->ChannelGetInfo(s.stream, info);
        const double taken = static_cast<double>(engine->ChannelGetPosition(s.stream)) /
                             (info.freq * info.chans * 2.0);
        return sentSeconds - taken;
    };
    constexpr double kRunSeconds = 120.0;
    constexpr double kSettledAt = 20.0;
    bool settledTaken = false;
    while (SecondsSince(start) < kRunSeconds) {
        std::this_thread::sleep_for(milliseconds(500));
        if (!settledTaken && SecondsSince(start) >= kSettledAt) {
            settledTaken = true;
            for (Sender& s : senders) {
                s.firstDelay = delayOf(s);
            }
        }
    }
    for (Sender& s : senders) {
        s.lastDelay = delayOf(s);
        StreamStats stats;
        ASSERT_TRUE(engine->ChannelGetStats(s.stream, stats));
        SCOPED_TRACE(s.name);
        EXPECT_EQ(stats.stalls, 0u) << "the ring ran dry";
        // Taken at the sender's rate, give or take what still brings the
        // fill back to the buffer length.
        EXPECT_NEAR(stats.ratio, s.pace, 0.003) << "taken at the sender's rate";
        // A fixed lag behind live, not one that grows with the sender's lead.
        EXPECT_NEAR(s.lastDelay, s.firstDelay, 0.35);
        EXPECT_LT(s.lastDelay, 2.0);
        RecordProperty(std::string(s.name) + "_delay_ms", static_cast<int>(s.lastDelay * 1000));
        std::printf("%s sender: taken at %.4f, %.2f s behind it after %.0f s, %.2f s at the end\n",
                    s.name, stats.ratio, s.firstDelay, kSettledAt, s.lastDelay);
    }
    engine->Free();

    std::string error;
    const auto wav = qvm::test::ReadWav(wavPath, &error);
    ASSERT_TRUE(wav) << error;
    const int rate = wav->sampleRate;
    const std::vector<float> mono = wav->channel(0);
    // No hole in either tone: 5 ms windows every 2.5 ms, each tone at its level
    // (amplitude 0.5 at volume 0.5: -12 dB); a 3 ms hole costs a window 8 dB.
    const std::size_t window = static_cast<std::size_t>(rate) * 5 / 1000;
    const std::size_t hop = window / 2;
    int holes = 0;
    double quietest[2] = {0.0, 0.0};
    for (std::size_t at = static_cast<std::size_t>(rate) * 3; at + window <= mono.size();
         at += hop) {
        const std::span<const float> part(mono.data() + at, window);
        for (int i = 0; i < 2; ++i) {
            const double db = qvm::test::ToneLevelDb(part, rate, senders[i].hz);
            quietest[i] = std::min(quietest[i], db);
            if (db < -12.0 - 5.0) {
                ++holes;
            }
        }
    }
    EXPECT_EQ(holes, 0) << "quietest windows " << quietest[0] << " / " << quietest[1] << " dB";
    // The pitch follows the sender's clock and stays within the drift plus a
    // small margin of it, from the start (as sent) to the end (the drift taken).
    for (const Sender& s : senders) {
        SCOPED_TRACE(s.name);
        for (double from = 5.0; from + 4.0 <= wav->seconds(); from += 10.0) {
            const double hz = PeakNear(wav->channel(0, from, from + 4.0), rate, s.hz, s.hz * 0.016);
            EXPECT_LE(std::abs(hz - s.hz * s.pace), s.hz * (0.01 + 0.004)) << "at " << from;
        }
        const double end = PeakNear(wav->channel(0, wav->seconds() - 10.0, wav->seconds()), rate,
                                    s.hz * s.pace, s.hz * 0.003);
        EXPECT_NEAR(end, s.hz * s.pace, s.hz * 0.003) << "pitch at the end";
    }
}

}  // namespace
}  // namespace qvm::audio::test
