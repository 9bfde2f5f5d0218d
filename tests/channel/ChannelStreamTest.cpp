// The channel on the real engine ("Null output") and real loopback streams.
// These depend on real time; settings are short and bounds generous.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <memory>
#include <thread>

#include "audio/AudioEngine.h"
#include "channel/Channel.h"
#include "channel/ChannelContext.h"
#include "channel/StreamText.h"
#include "config/Settings.h"
#include "core/TimeBase.h"
#include "lang/Language.h"
#include "support/HangingResolver.h"
#include "support/HlsFixture.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using Clock = std::chrono::steady_clock;

// Longer than any test here.
constexpr double kLongTone = 120.0;
using std::chrono::milliseconds;

class ChannelStreams : public ::testing::Test {
  protected:
    void SetUp() override {
        engine = audio::CreateAudioEngine();
        int device = 0;
        audio::DeviceInfo info;
        for (int d = 1; engine->GetDeviceInfo(d, info); ++d) {
            if (info.name == "Null output") {
                device = d;
            }
        }
        ASSERT_GT(device, 0);
        ASSERT_TRUE(engine->Init(device, 48000)) << engine->ErrorGetCode();
        audio::NetConfig net;
        net.bufferMs = 1000;
        net.timeoutMs = 2000;
        net.readTimeoutMs = 2000;
        engine->SetNetConfig(net);
        settings.Buffer = 1.0;
        settings.SilenceTime = 1.5;
        settings.RestoreTime = 1.0;
        settings.BreakTime = 3.0;
        settings.ConnectTime = 30.0;
        EXPECT_TRUE(language.LoadLanguage(QStringLiteral("English.lng")));
        ctx = std::make_unique<ChannelContext>(*engine, settings, language);
    }

    void TearDown() override {
        channel.reset();
        ctx.reset();
        if (engine) {
            engine->Free();
        }
    }

    TfrChannelForm& make(const std::string& url) {
        channel = std::make_unique<TfrChannelForm>(*ctx, 0);
        ChannelSettings data;
        data.URL = QString::fromStdString(url);
        channel->SetData(data);
        channel->OnPlayChild = [this](int) { onPlayChild(); };
        channel->OnStopChild = [this](int) { onStopChild(); };
        return *channel;
    }

    // The main loop: a tick every 10 ms until `done` holds or `timeout` passes.
    template <typename Pred>
    bool loop(Pred done, milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() > end) {
                return false;
            }
            channel->Tick(static_cast<std::int64_t>(TickCount64()));
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    }

    // Seconds of the stream the mixer has taken so far.
    double playedSeconds() const {
        const std::int64_t bytes = engine->ChannelGetPosition(channel->Stream());
        return static_cast<double>(bytes) / (channel->Freq() * channel->Chans() * 2.0);
    }

    std::function<void()> onPlayChild = [] {};
    std::function<void()> onStopChild = [] {};

    TempDir dir;
    // The shipped English texts, as a station reads them.
    TLanguage language{qEnvironmentVariable("QVM_SOURCE_DIR") + QStringLiteral("/lang/")};
    PlayerSettings settings;
    std::unique_ptr<audio::IAudioEngine> engine;
    std::unique_ptr<ChannelContext> ctx;
    std::unique_ptr<TfrChannelForm> channel;
    StreamServer server;
};

TEST_F(ChannelStreams, PlaysWithStationBitrateAndTitlesThatChange) {
    server.addMount("/radio.mp3",
                    MountSpec{.icyName = "QVM Test Radio",
                              .icyBr = 128,
                              .metaint = 8000,
                              .script = {Title{"Caf\xc3\xa9; One"}, Tone{440, 3},
                                         Title{"Tom's \"Two\""}, Tone{440, kLongTone}}});
    TfrChannelForm& ch = make(server.url("/radio.mp3"));
    ch.Play();
    ASSERT_TRUE(loop([&] { return ch.Status() == ChannelStatus::Play; }, milliseconds(8000)))
        << ch.Message().toStdString();
    EXPECT_EQ(ch.StationName(), QStringLiteral("QVM Test Radio"));
    EXPECT_EQ(ch.BitrateLine(), QStringLiteral("128 Stereo"));
    ASSERT_TRUE(loop([&] { return !ch.Title().isEmpty(); }, milliseconds(3000)));
    EXPECT_EQ(ch.Title(), QStringLiteral("Caf\u00e9; One"));
    ASSERT_TRUE(
        loop([&] { return ch.Title() != QStringLiteral("Caf\u00e9; One"); }, milliseconds(8000)))
        << ch.Title().toStdString() << " " << int(ch.Status());
    EXPECT_EQ(ch.Title(), QStringLiteral("Tom's \"Two\""));
    const auto connection = server.lastConnection("/radio.mp3");
    ASSERT_TRUE(connection.has_value());
    EXPECT_EQ(connection->header("User-Agent"), "QVMirelta");
}

TEST_F(ChannelStreams, ServedSilenceIsDetectedAndSoundRestoredOnTheStreamsTimeline) {
    server.addMount("/silence.mp3",
                    MountSpec{.script = {Tone{440, 3}, Silence{3}, Tone{440, kLongTone}}});
    TfrChannelForm& ch = make(server.url("/silence.mp3"));
    double silentAt = -1;
    double soundAt = -1;
    onPlayChild = [&] { silentAt = playedSeconds(); };
    onStopChild = [&] { soundAt = playedSeconds(); };
    ch.Play();
    ASSERT_TRUE(loop([&] { return ch.Status() == ChannelStatus::Play; }, milliseconds(8000)));
    ASSERT_TRUE(loop([&] { return soundAt >= 0; }, milliseconds(15000)))
        << "silence at " << silentAt;
    const auto record = server.lastConnection("/silence.mp3");
    ASSERT_TRUE(record.has_value());
    double silenceStarts = -1;
    double soundStarts = -1;
    for (const TimelineEntry& e : record->timeline) {
        if (e.step == 1) {
            silenceStarts = e.streamSeconds;
        }
        if (e.step == 2) {
            soundStarts = e.streamSeconds;
        }
    }
    ASSERT_GE(silenceStarts, 0) << record->timeline.size() << " entries, "
                                << server.connectionCount("/silence.mp3") << " connections";
    ASSERT_GE(soundStarts, 0);
    // A block is 20 ms; the tick that passes it on adds at most 10 ms.
    const double tolerance = 0.100 + 0.020;
    EXPECT_NEAR(silentAt, silenceStarts + settings.SilenceTime, tolerance);
    EXPECT_NEAR(soundAt, soundStarts + settings.RestoreTime, tolerance);
    EXPECT_EQ(ch.InChild(), 0);
}

TEST_F(ChannelStreams, DroppedServerIsReconnectedAndAfterBreakTimeABreakIsDeclared) {
    server.addMount("/drop.mp3",
                    MountSpec{.burstSeconds = 1.0, .script = {Tone{440, 3}, Disconnect{}}});
    TfrChannelForm& ch = make(server.url("/drop.mp3"));
    bool broken = false;
    onPlayChild = [&] { broken = true; };
    ch.Play();
    ASSERT_TRUE(loop([&] { return ch.Status() == ChannelStatus::Play; }, milliseconds(8000)));
    ASSERT_TRUE(loop([&] { return server.connectionCount("/drop.mp3") >= 2; }, milliseconds(10000)))
        << "the channel reconnects after the drop";
    server.setMode(ServerMode::Refuse);
    ASSERT_TRUE(loop([&] { return ch.Status() == ChannelStatus::Error; }, milliseconds(10000)));
    EXPECT_TRUE(ch.Message().startsWith(QStringLiteral("Code "))) << ch.Message().toStdString();
    const std::int64_t breakStart = ch.BreakStart();
    ASSERT_GT(breakStart, 0);
    ASSERT_TRUE(loop([&] { return broken; }, milliseconds(10000)));
    const auto declaredAfter = static_cast<std::int64_t>(TickCount64()) - breakStart;
    EXPECT_GE(declaredAfter, 3000);
    EXPECT_LT(declaredAfter, 3000 + 500);
    EXPECT_TRUE(ch.InBreak());
    EXPECT_EQ(ch.InChild(), kChildBreak);
}

TEST_F(ChannelStreams, BadUrlShowsTheErrorAndRetriesOnSchedule) {
    server.addMount("/missing.mp3", MountSpec{.script = {HttpError{404}}});
    TfrChannelForm& ch = make(server.url("/missing.mp3"));
    ch.Play();
    ASSERT_TRUE(
        loop([&] { return server.connectionCount("/missing.mp3") >= 3; }, milliseconds(10000)));
    EXPECT_EQ(ch.Message(), ErrorText(language, audio::kErrFileOpen));
    const auto records = server.connections("/missing.mp3");
    const auto gap = [&](std::size_t i) {
        return std::chrono::duration<double>(records[i].acceptedAt - records[i - 1].acceptedAt)
            .count();
    };
    // 1 s, then 2 s after each failure, plus the time an attempt takes.
    EXPECT_GE(gap(1), 1.0);
    EXPECT_LT(gap(1), 1.0 + 0.8);
    EXPECT_GE(gap(2), 2.0);
    EXPECT_LT(gap(2), 2.0 + 0.8);
}

TEST_F(ChannelStreams, HlsChannelPlays) {
#if defined(__SANITIZE_THREAD__)
    // The HLS writer is started through QProcess's clone(), which
    // ThreadSanitizer cannot follow: it then reports races under held mutexes.
    GTEST_SKIP()
        << "ThreadSanitizer cannot follow QProcess's clone(); run this test in a normal build";
#endif
    HlsFixture hls(server, HlsOptions{.seconds = 20.0});
    ASSERT_TRUE(hls.start()) << hls.error();
    TfrChannelForm& ch = make(hls.url());
    ch.Play();
    ASSERT_TRUE(loop([&] { return ch.Status() == ChannelStatus::Play; }, milliseconds(15000)))
        << ch.Message().toStdString();
    EXPECT_EQ(ch.Freq(), 44100u);
    EXPECT_EQ(ch.Chans(), 2u);
    ASSERT_TRUE(loop([&] { return playedSeconds() > 1.0; }, milliseconds(5000)));
    EXPECT_EQ(ch.Status(), ChannelStatus::Play);
}

TEST_F(ChannelStreams, StoppingDuringAHangingConnectDoesNotWait) {
    server.setMode(ServerMode::Hang);
    TfrChannelForm& ch = make(server.url("/any.mp3"));
    ch.Play();
    ASSERT_TRUE(loop([&] { return server.connectionCount() >= 1; }, milliseconds(5000)));
    const auto before = Clock::now();
    ch.Stop();
    const double stopSeconds = std::chrono::duration<double>(Clock::now() - before).count();
    EXPECT_LT(stopSeconds, 1.0) << "the network time-out is 2 s";
    EXPECT_TRUE(loop([&] { return !ch.ConnectPending(); }, milliseconds(1000)))
        << "the aborted attempt ends within the engine's abort delay";
}

// A name server that never answers, met behind a redirect: stopping the
// channel, destroying it and closing the engine each take well under a
// second, though the lookup itself never ends.
TEST_F(ChannelStreams, HangingNameServerHoldsNeitherStopNorRemovalNorShutdown) {
    server.addRedirect("/redirect",
                       "http://dead-dns.invalid:" + std::to_string(server.port()) + "/a.mp3");
    HangingResolver resolver;
    const auto measured = [](const auto& action) {
        const auto before = Clock::now();
        action();
        return std::chrono::duration<double>(Clock::now() - before).count();
    };
    for (const bool stopFirst : {true, false}) {
        SCOPED_TRACE(stopFirst ? "stop, then remove" : "remove while connecting");
        const int calls = HangingResolver::calls();
        TfrChannelForm& ch = make(server.url("/redirect"));
        ch.Play();
        ASSERT_TRUE(loop([&] { return HangingResolver::calls() > calls; }, milliseconds(5000)));
        if (stopFirst) {
            EXPECT_LT(measured([&] { ch.Stop(); }), 1.0);
        }
        EXPECT_LT(measured([&] { channel.reset(); }), 1.0);
    }
    const int calls = HangingResolver::calls();
    make(server.url("/redirect")).Play();
    ASSERT_TRUE(loop([&] { return HangingResolver::calls() > calls; }, milliseconds(5000)));
    EXPECT_LT(measured([&] {
                  channel.reset();
                  ctx.reset();
                  engine->Free();
                  engine.reset();
              }),
              1.0);
}

}  // namespace
}  // namespace qvm::test
