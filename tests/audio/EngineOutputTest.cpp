#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>

#include <cmath>
#include <cstdlib>
#include <thread>

#include "EngineTestSupport.h"
#include "support/AudioAnalysis.h"
#include "support/IcecastFixture.h"
#include "support/PulseSink.h"
#include "support/StreamServer.h"

namespace qvm::audio::test {
namespace {

using qvm::test::kForever;
using qvm::test::MountSpec;
using qvm::test::StreamServer;
using qvm::test::Tone;

// The largest step between neighbouring samples of one side, in full scale.
// A 440 Hz sine of amplitude 0.5 at 48000 Hz moves at most 0.029 per sample;
// a volume that jumps instead of ramping leaves a step of up to 0.5.
struct Step {
    double size = 0.0;
    std::size_t at = 0;  // sample index after the step
};
Step largestStep(const std::vector<float>& s) {
    Step step;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const double size = std::abs(static_cast<double>(s[i]) - s[i - 1]);
        if (size > step.size) {
            step = {size, i};
        }
    }
    return step;
}

// The null output writes the mix to the capture file: the right tone, at the
// level the volume asks for, with ramps instead of jumps between volumes.
TEST(EngineOutput, CaptureHasToneLevelAndVolumeRamps) {
    QTemporaryDir dir;
    const std::string wavPath = dir.filePath("capture.wav").toStdString();
    ::setenv("QVMIRELTA_CAPTURE_WAV", wavPath.c_str(), 1);
    StreamServer server;
    server.addMount("/tone.mp3", MountSpec{.script = {Tone{440, kLong, 0.5}}});
    auto engine = CreateAudioEngine();
    ASSERT_TRUE(engine->Init(NullDeviceNumber(*engine), 48000));
    ::unsetenv("QVMIRELTA_CAPTURE_WAV");
    const StreamHandle stream = engine->StreamCreateURL(server.url("/tone.mp3"), nullptr);
    ASSERT_NE(stream, 0u) << engine->ErrorGetCode();
    ASSERT_TRUE(engine->ChannelSetVolume(stream, 0.0f));
    ASSERT_TRUE(engine->ChannelPlay(stream));
    // Volume steps, each held long enough to be measured.
    const struct {
        float volume;
        int ms;
    } steps[] = {{0.0f, 400}, {1.0f, 1200}, {0.25f, 1200}, {0.0f, 600}, {1.0f, 800}};
    for (const auto& step : steps) {
        ASSERT_TRUE(engine->ChannelSetVolume(stream, step.volume));
        std::this_thread::sleep_for(milliseconds(step.ms));
    }
    engine->Free();

    std::string error;
    const auto wav = qvm::test::ReadWav(wavPath, &error);
    ASSERT_TRUE(wav) << error;
    EXPECT_EQ(wav->sampleRate, 48000);
    EXPECT_EQ(wav->channels, 2);
    EXPECT_GT(wav->seconds(), 3.5);
    // The steps, in order, by what the capture holds (not by the wall clock,
    // which a loaded machine lets drift from the captured time): windows are
    // silent or hold the tone at one of the volumes' levels; windows inside a
    // ramp match none and are left out; a level counts once it lasts 0.2 s.
    std::vector<int> heard;  // index of the matching volume
    int current = -1;
    int repeats = 0;
    for (double t = 0.0; t + 0.1 <= wav->seconds(); t += 0.1) {
        const std::vector<float> w = wav->channel(0, t, t + 0.1);
        int match = -1;
        for (std::size_t i = 0; i < std::size(steps) && match < 0; ++i) {
            const bool fits =
                steps[i].volume == 0.0f
                    ? qvm::test::RmsDb(w) < -80.0
                    : std::abs(qvm::test::DominantFrequency(w, 48000) - 440.0) < 15.0 &&
                          std::abs(qvm::test::ToneLevelDb(w, 48000, 440.0) -
                                   (-6.0 + 20 * std::log10(steps[i].volume))) < 1.0;
            match = fits ? static_cast<int>(i) : -1;
        }
        if (match < 0) {
            continue;
        }
        repeats = match == current ? repeats + 1 : 1;
        current = match;
        const float volume = steps[static_cast<std::size_t>(match)].volume;
        if (repeats == 2 &&
            (heard.empty() || steps[static_cast<std::size_t>(heard.back())].volume != volume)) {
            heard.push_back(match);
        }
    }
    std::vector<float> heardVolumes;
    for (int i : heard) {
        heardVolumes.push_back(steps[static_cast<std::size_t>(i)].volume);
    }
    EXPECT_EQ(heardVolumes, (std::vector<float>{0.0f, 1.0f, 0.25f, 0.0f, 1.0f}));
    for (int side = 0; side < 2; ++side) {
        const Step step = largestStep(wav->channel(side));
        EXPECT_LT(step.size, 0.045) << "side " << side << " at " << step.at / 48000.0 << " s";
    }
}

// A station's real stream server: icecast2 fed by ffmpeg.
class EngineIcecast : public EngineTest {};

TEST_F(EngineIcecast, PlaysWithTagsAndTitle) {
    if (kUnderThreadSanitizer) {
        GTEST_SKIP() << kTsanProcessNote;
    }
    qvm::test::IcecastFixture icecast({.name = "QVM Icecast", .toneHz = 550.0});
    if (!icecast.start()) {
        GTEST_SKIP() << "icecast2 could not be started: " << icecast.error();
    }
    const StreamHandle stream = open(icecast.url());
    ASSERT_NE(stream, 0u);
    std::vector<std::string> icy;
    ASSERT_TRUE(m_engine->ChannelGetTags(stream, TagKind::Icy, icy));
    EXPECT_NE(std::find(icy.begin(), icy.end(), "icy-name:QVM Icecast"), icy.end())
        << testing::PrintToString(icy);
    EXPECT_NE(std::find(icy.begin(), icy.end(), "icy-br:128"), icy.end())
        << testing::PrintToString(icy);
    std::atomic<int> syncs{0};
    const StreamGuard guard(*m_engine, stream);
    ASSERT_NE(m_engine->ChannelSetSync(
                  stream,
                  [](SyncHandle, StreamHandle, void* u) {
                      static_cast<std::atomic<int>*>(u)->fetch_add(1);
                  },
                  &syncs),
              0u);
    ASSERT_TRUE(m_engine->ChannelPlay(stream));
    ASSERT_TRUE(icecast.setTitle("Artist - Song; live"));
    std::vector<std::string> meta;
    EXPECT_TRUE(WaitUntil(
        [&] {
            return m_engine->ChannelGetTags(stream, TagKind::Meta, meta) &&
                   meta.front().find("StreamTitle='Artist - Song; live';") != std::string::npos;
        },
        milliseconds(8000)))
        << testing::PrintToString(meta);
    EXPECT_GE(syncs.load(), 1);
    // The feeder's sine has FFmpeg's default amplitude of 1/8, and its mono to
    // stereo step lowers it by 3 dB: a peak of 4096 × 0.707.
    std::uint32_t peak = 0;
    for (int i = 0; i < 20; ++i) {
        peak = std::max(peak, m_engine->ChannelGetLevel(stream) & 0xFFFF);
        std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_NEAR(static_cast<double>(peak), 2896.0, 400.0);
    EXPECT_EQ(m_engine->StreamGetFilePosition(stream, FilePos::Connected), 1);
}

TEST(EngineOutput, PortAudioDevicePlaysTheMix) {
    if (kUnderThreadSanitizer) {
        GTEST_SKIP() << kTsanProcessNote;
    }
    qvm::test::PulseSink pulse;
    std::string why;
    if (!pulse.start(why)) {
        GTEST_SKIP() << why;
    }
    auto engine = CreateAudioEngine();
    std::vector<std::string> names;
    const int device = DeviceNumber(*engine, "pulse", &names);
    if (device == 0) {
        GTEST_SKIP() << "PortAudio lists no \"pulse\" device: " << testing::PrintToString(names);
    }
    EXPECT_EQ(names.back(), "Null output");
    ASSERT_TRUE(engine->Init(device, 48000)) << engine->ErrorGetCode();
    StreamServer server;
    server.addMount("/tone.mp3", MountSpec{.script = {Tone{440, kLong, 0.5}}});
    const StreamHandle stream = engine->StreamCreateURL(server.url("/tone.mp3"), nullptr);
    ASSERT_NE(stream, 0u) << engine->ErrorGetCode();
    const QString wavFile = pulse.file("monitor.wav");
    ASSERT_TRUE(pulse.record(wavFile));
    ASSERT_TRUE(engine->ChannelPlay(stream));
    std::this_thread::sleep_for(milliseconds(4000));
    pulse.stopRecording();
    engine->Free();
    std::string error;
    const auto wav = qvm::test::ReadWav(wavFile.toStdString(), &error);
    ASSERT_TRUE(wav) << error;
    // A headless null sink's monitor delivers less than wall time (about a
    // third while idle, two thirds while playing here); enough to measure.
    ASSERT_GT(wav->seconds(), 0.5);
    // The tone is there at its level (where it plays; the device starts a little late).
    const auto windows = qvm::test::AnalyseWindows(*wav, 0.2, 0);
    const auto loud = std::count_if(windows.begin(), windows.end(), [](const auto& w) {
        return std::abs(w.frequency - 440.0) < 5.0 && std::abs(w.peakDb + 6.0) < 1.5;
    });
    EXPECT_GE(loud, 2) << "of " << windows.size() << " windows";
}

// The sound server of the device the player plays through dies (as when a
// USB card is unplugged or the server crashes): within a second the engine
// reports the device lost, and the stream goes on being taken meanwhile (its
// connection stays); when the server is back, the same device is opened again
// by its name, and the tone is heard on the sink again, without a restart.
TEST(EngineOutput, LostDeviceIsNoticedAndReopenedWhenItIsBack) {
    if (kUnderThreadSanitizer) {
        GTEST_SKIP() << kTsanProcessNote;
    }
    qvm::test::PulseSink pulse;
    std::string why;
    if (!pulse.start(why)) {
        GTEST_SKIP() << why;
    }
    auto engine = CreateAudioEngine();
    const int device = DeviceNumber(*engine, "pulse");
    if (device == 0) {
        GTEST_SKIP() << "PortAudio lists no \"pulse\" device";
    }
    ASSERT_TRUE(engine->Init(device, 48000)) << engine->ErrorGetCode();
    StreamServer server;
    server.addMount("/tone.mp3", MountSpec{.script = {Tone{440, kLong, 0.5}}});
    const StreamHandle stream = engine->StreamCreateURL(server.url("/tone.mp3"), nullptr);
    ASSERT_NE(stream, 0u) << engine->ErrorGetCode();
    ASSERT_TRUE(engine->ChannelPlay(stream));
    const auto toneHeard = [&](const QString& file) {
        EXPECT_TRUE(pulse.record(file));
        std::this_thread::sleep_for(milliseconds(3000));
        pulse.stopRecording();
        const auto wav = qvm::test::ReadWav(file.toStdString());
        if (!wav) {
            return 0L;
        }
        const auto windows = qvm::test::AnalyseWindows(*wav, 0.2, 0);
        return static_cast<long>(std::count_if(windows.begin(), windows.end(), [](const auto& w) {
            return std::abs(w.frequency - 440.0) < 5.0 && std::abs(w.peakDb + 6.0) < 1.5;
        }));
    };
    ASSERT_GE(toneHeard(pulse.file("before.wav")), 2) << "the tone before the loss";
    EXPECT_FALSE(engine->GetStats().deviceLost);

    const auto killed = Clock::now();
    ASSERT_TRUE(pulse.killServer());
    ASSERT_TRUE(WaitUntil([&] { return engine->GetStats().deviceLost; }, milliseconds(5000)))
        << "the loss was never noticed";
    const double noticed = SecondsSince(killed);
    EXPECT_LT(noticed, 1.0) << "noticed " << noticed << " s after the server died";
    // The stream is still taken meanwhile, and its connection lives.
    const std::int64_t position = engine->ChannelGetPosition(stream);
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_GT(engine->ChannelGetPosition(stream), position + 44100 * 4 / 2);
    EXPECT_EQ(engine->StreamGetFilePosition(stream, FilePos::Connected), 1);

    ASSERT_TRUE(pulse.waitServerGone());
    ASSERT_TRUE(pulse.startServer(why)) << why;
    const auto restarted = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return !engine->GetStats().deviceLost; }, milliseconds(15000)))
        << "the device was not opened again";
    const double reopened = SecondsSince(restarted);
    EXPECT_EQ(engine->GetStats().deviceLosses, 1u);
    EXPECT_GE(toneHeard(pulse.file("after.wav")), 2) << "the tone after the server came back";
    engine->Free();
    RecordProperty("noticed_ms", static_cast<int>(noticed * 1000));
    RecordProperty("reopened_ms", static_cast<int>(reopened * 1000));
    std::printf("device lost noticed after %.0f ms; reopened %.0f ms after the server was back\n",
                noticed * 1000, reopened * 1000);
}

}  // namespace
}  // namespace qvm::audio::test
