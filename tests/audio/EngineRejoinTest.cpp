// Connections that break in the network while the ring plays: a real icecast2
// server fed a tone that steps up every half second, reached through a proxy
// that cuts the listener's connection mid-stream, played by the real engine on
// the null output and read back from the capture.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "EngineTestSupport.h"
#include "support/AudioAnalysis.h"
#include "support/CuttingProxy.h"
#include "support/IcecastFixture.h"

namespace qvm::audio::test {
namespace {

using qvm::test::CuttingProxy;
using qvm::test::IcecastFixture;
using qvm::test::IcecastOptions;

// Step k is a sine of 300 + 50 k Hz from k/2 s to (k+1)/2 s of the feeder's
// time; the phase runs on across the steps (50 Hz × k/2 s is whole turns).
constexpr double kBaseHz = 300.0;
constexpr double kStepHz = 50.0;
constexpr double kStepSeconds = 0.5;
const char* const kToneSteps = "aevalsrc=exprs=0.5*sin(2*PI*(300+50*floor(2*t))*t):s=44100";
constexpr int kBytesPerSecond = 128000 / 8;

struct StepRun {
    int step = -1;  // -1: silence
    double from = 0.0;
    double to = 0.0;
};

// The capture as runs of tone steps, 20 ms windows from `fromSeconds` on.
// Windows across a step change may read as either step or between them: runs
// of one or two windows are dropped.
std::vector<StepRun> StepRuns(const qvm::test::WavData& wav, double fromSeconds, double toSeconds) {
    constexpr double kWindow = 0.02;
    std::vector<StepRun> runs;
    for (const auto& w : qvm::test::AnalyseWindows(wav, kWindow)) {
        if (w.start < fromSeconds || w.start + kWindow > toSeconds) {
            continue;
        }
        const int step =
            w.rmsDb < -30.0 ? -1 : static_cast<int>(std::lround((w.frequency - kBaseHz) / kStepHz));
        if (!runs.empty() && runs.back().step == step) {
            runs.back().to = w.start + kWindow;
        } else {
            runs.push_back({step, w.start, w.start + kWindow});
        }
    }
    std::vector<StepRun> kept;
    for (const StepRun& run : runs) {
        if (run.to - run.from < 2.5 * kWindow && run.step != -1) {
            continue;
        }
        if (!kept.empty() && kept.back().step == run.step) {
            kept.back().to = run.to;
        } else {
            kept.push_back(run);
        }
    }
    return kept;
}

std::string Describe(const std::vector<StepRun>& runs) {
    std::string text;
    char line[80];
    for (const StepRun& run : runs) {
        std::snprintf(line, sizeof line, "step %d: %.3f-%.3f s (%.0f ms)\n", run.step, run.from,
                      run.to, (run.to - run.from) * 1000.0);
        text += line;
    }
    return text;
}

class EngineRejoin : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kUnderThreadSanitizer) {
            GTEST_SKIP() << kTsanProcessNote;
        }
        m_wavPath = m_dir.filePath("capture.wav").toStdString();
        ::setenv("QVMIRELTA_CAPTURE_WAV", m_wavPath.c_str(), 1);
        m_engine = CreateAudioEngine();
        ASSERT_TRUE(m_engine->Init(NullDeviceNumber(*m_engine), 48000));
        ::unsetenv("QVMIRELTA_CAPTURE_WAV");
    }
    void TearDown() override {
        if (m_engine) {
            m_engine->Free();
        }
    }

    // Starts icecast2 with the tone steps, the proxy in front of it, and the
    // stream through the proxy, playing once its buffer is full.
    bool startStream(int burstBytes, std::uint32_t bufferMs) {
        m_icecast = std::make_unique<IcecastFixture>(
            IcecastOptions{.burstBytes = burstBytes, .source = kToneSteps});
        if (!m_icecast->start()) {
            m_skip = "icecast2 could not be started: " + m_icecast->error();
            return false;
        }
        m_proxy = std::make_unique<CuttingProxy>(m_icecast->port());
        NetConfig config;
        config.bufferMs = bufferMs;
        config.timeoutMs = 2000;
        config.readTimeoutMs = 2000;
        m_engine->SetNetConfig(config);
        m_stream = m_engine->StreamCreateURL(m_proxy->url(m_icecast->options().mount), nullptr);
        EXPECT_NE(m_stream, 0u) << m_engine->ErrorGetCode();
        if (m_stream == 0) {
            return false;
        }
        const bool full = WaitUntil(
            [&] {
                return m_engine->StreamGetFilePosition(m_stream, FilePos::Buffer) * 10 >
                       m_engine->StreamGetFilePosition(m_stream, FilePos::End) * 9;
            },
            milliseconds(15000));
        EXPECT_TRUE(full) << "the buffer did not fill";
        EXPECT_TRUE(m_engine->ChannelPlay(m_stream));
        m_playedAt = Clock::now();
        return full;
    }

    StreamStats stats() {
        StreamStats s;
        EXPECT_TRUE(m_engine->ChannelGetStats(m_stream, s));
        return s;
    }

    // Two cuts 3.5 s apart while the stream plays; the capture's steps from
    // the start of play until the second seam, which is heard a buffer length
    // after its cut, has played for a while.
    std::vector<StepRun> playThroughTwoCuts(double& captureSeconds, std::uint32_t bufferMs) {
        std::this_thread::sleep_for(milliseconds(2500));
        m_proxy->cut();
        std::this_thread::sleep_for(milliseconds(3500));
        m_proxy->cut();
        std::this_thread::sleep_for(milliseconds(bufferMs + 1500));
        const double played = SecondsSince(m_playedAt);
        m_final = stats();
        m_engine->Free();
        std::string error;
        const auto wav = qvm::test::ReadWav(m_wavPath, &error);
        EXPECT_TRUE(wav) << error;
        if (!wav) {
            return {};
        }
        captureSeconds = wav->seconds();
        // The stream starts within a period of ChannelPlay; the end of the
        // capture is the end of play.
        return StepRuns(*wav, captureSeconds - played + 0.3, captureSeconds - 0.1);
    }

    // Every step follows the one before, none twice, none left out, nothing
    // silent; every step but the first and last lasts its half second, but
    // each of `seams` may take up to `seamLoss` from the steps it falls into.
    static void expectUnbroken(const std::vector<StepRun>& runs, int seams, double seamLoss) {
        ASSERT_GE(runs.size(), 22u) << Describe(runs);
        int shortened = 0;
        double lost = 0.0;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            ASSERT_NE(runs[i].step, -1) << "silence\n" << Describe(runs);
            if (i == 0) {
                continue;
            }
            ASSERT_EQ(runs[i].step, runs[i - 1].step + 1) << Describe(runs);
            if (i + 1 == runs.size()) {
                continue;
            }
            const double length = runs[i].to - runs[i].from;
            // 20 ms windows: a change is seen up to a window late at either end.
            constexpr double kSlack = 0.025;
            EXPECT_LT(length, kStepSeconds + kSlack) << "a step repeated in part\n"
                                                     << Describe(runs);
            if (length < kStepSeconds - kSlack) {
                ++shortened;
                lost += kStepSeconds - length;
                std::printf("seam: step %d lasts %.0f ms\n", runs[i].step, length * 1000.0);
            }
        }
        // A seam across a step change shortens both steps.
        EXPECT_LE(shortened, 2 * seams) << Describe(runs);
        EXPECT_LE(lost, seams * seamLoss) << Describe(runs);
    }

    // Plays through two cuts with `Buffer` = 5 s against a server that sends
    // `burstBytes` on connect: the steps unbroken, `gaps` of the two seams
    // joined across a gap, each losing at most `seamLoss` of the server's audio.
    void expectTwoUnheardCuts(int burstBytes, std::uint32_t gaps, double seamLoss) {
        if (!startStream(burstBytes, 5000)) {
            GTEST_SKIP() << m_skip;
        }
        double seconds = 0.0;
        const auto runs = playThroughTwoCuts(seconds, 5000);
        EXPECT_EQ(m_proxy->relayed(), 3);
        EXPECT_EQ(m_final.rejoins, 2u);
        EXPECT_EQ(m_final.rejoinGaps, gaps);
        EXPECT_EQ(m_final.stalls, 0u);
        expectUnbroken(runs, static_cast<int>(gaps), seamLoss);
        std::printf(
            "%zu steps over %.1f s of capture; last seam: %u ms from the loss, %u us search\n",
            runs.size(), seconds, m_final.rejoinMs, m_final.spliceSearchUs);
    }

    QTemporaryDir m_dir;
    std::string m_wavPath;
    std::unique_ptr<IAudioEngine> m_engine;
    std::unique_ptr<IcecastFixture> m_icecast;
    std::unique_ptr<CuttingProxy> m_proxy;
    StreamHandle m_stream = 0;
    Clock::time_point m_playedAt;
    StreamStats m_final;
    std::string m_skip;
};

// The server sends the newest 4 s on connect, the ring holds 5 s: each new
// connection repeats audio the ring has, and continues exactly where it ended.
TEST_F(EngineRejoin, BurstOverlapIsSplicedWithoutRepeatSkipOrGap) {
    expectTwoUnheardCuts(4 * kBytesPerSecond, 0, 0.0);
}

// No burst: what the server sent while the link was down is lost, so the
// step of the seam is shorter by that (the reader notices the end of its
// connection after its pause between reads at the latest, a quarter of a
// second); the rest plays as sent, and nothing goes silent.
TEST_F(EngineRejoin, WithoutBurstTheSeamLosesOnlyTheOutage) {
    expectTwoUnheardCuts(0, 2, 0.5);
}

// A link that stays down longer than the ring lasts, refusing connections or
// swallowing them without an answer: the reader keeps trying while the ring
// plays, then gives up in time, and the stream plays out and ends as any
// stream whose connection is gone, without a stall.
TEST_F(EngineRejoin, OutageLongerThanTheRingEndsTheStreamAfterItPlaysOut) {
    for (const bool hanging : {false, true}) {
        SCOPED_TRACE(hanging ? "hanging" : "refusing");
        if (!startStream(4 * kBytesPerSecond, 2000)) {
            GTEST_SKIP() << m_skip;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        m_proxy->setRefusing(!hanging);
        m_proxy->setHanging(hanging);
        m_proxy->cut();
        const auto cutAt = Clock::now();
        StreamStats last;
        bool ended = false;
        double connectedFor = 0.0;
        while (!ended && SecondsSince(cutAt) < 8.0) {
            StreamStats s;
            if (m_engine->ChannelGetStats(m_stream, s)) {
                last = s;
                if (m_engine->StreamGetFilePosition(m_stream, FilePos::Connected) == 1) {
                    connectedFor = SecondsSince(cutAt);
                }
            } else {
                ended = true;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        const double endedAfter = SecondsSince(cutAt);
        ASSERT_TRUE(ended) << "the stream did not end";
        // The ring held about 2 s at the cut; the reader gives up shortly
        // before it runs dry, and the stream ends once it has played out.
        EXPECT_GT(endedAfter, 1.5);
        EXPECT_LT(endedAfter, 3.5);
        // What it shows does not change while it tries again.
        EXPECT_GT(connectedFor, 1.2);
        EXPECT_EQ(last.rejoins, 0u);
        EXPECT_EQ(last.stalls, 0u) << "played out, not stalled";
        EXPECT_EQ(m_proxy->relayed(), 1);
        EXPECT_GE(m_proxy->refused(), hanging ? 1 : 3) << "tried again while the ring played";
        std::printf("%s: ended %.2f s after the cut, after %d tries to connect again\n",
                    hanging ? "hanging" : "refusing", endedAfter, m_proxy->refused());
        // The next round gets a server and a link of its own.
        m_proxy.reset();
        m_icecast.reset();
    }
}

}  // namespace
}  // namespace qvm::audio::test
