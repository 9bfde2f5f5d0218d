#include <QFile>

#include "channel/ChannelDisplay.h"
#include "channel/ChannelHarness.h"
#include "channel/StreamText.h"

namespace qvm::test {
namespace {

using audio::kErrFileOpen;
using audio::kErrTimeout;

FakeAudioEngine::OpenScript Failing(std::int32_t code) {
    FakeAudioEngine::OpenScript s;
    s.error = code;
    return s;
}

using ChannelStates = ChannelHarness;

TEST_F(ChannelStates, StoppedChannelShowsNothingAndPlayOnlyStartsAStoppedOne) {
    TfrChannelForm& ch = make();
    tickAll();
    const RecordingView& v = *views[0];
    EXPECT_EQ(ch.Status(), ChannelStatus::Stop);
    EXPECT_EQ(v.statusWord, QStringLiteral("Stop"));
    EXPECT_EQ(v.statusColor, QColor(0, 0, 0));
    EXPECT_EQ(v.gauge, 0);
    EXPECT_TRUE(v.breakTime.isEmpty() && v.playTime.isEmpty() && v.toConnect.isEmpty());
    EXPECT_EQ(v.indicatorRatio, 0);
    EXPECT_EQ(v.caption, QStringLiteral("http://radio.invalid/live"));

    startPlaying(ch);
    const auto stream = ch.Stream();
    ch.Play();  // already running: nothing changes
    run(50);
    EXPECT_EQ(ch.Status(), ChannelStatus::Play);
    EXPECT_EQ(ch.Stream(), stream);
    EXPECT_EQ(engine.opened().size(), 1u);
}

TEST_F(ChannelStates, ConnectBufferPlayWithEntryActions) {
    FakeAudioEngine::OpenScript s;
    s.info = {44100, 2};
    s.icy = {"icy-name: Radio X", "icy-br:128"};
    engine.scriptOpen(s);
    TfrChannelForm& ch = make();
    run(100);
    ch.Play();
    EXPECT_EQ(ch.Status(), ChannelStatus::Connect);
    EXPECT_EQ(ch.BreakStart(), now()) << "entering Connect starts break timing";
    tickAll();
    EXPECT_TRUE(ch.ConnectPending());
    EXPECT_EQ(views[0]->statusWord, QStringLiteral("Connect"));
    settle();
    ASSERT_EQ(ch.Status(), ChannelStatus::Buffer);
    EXPECT_EQ(ch.ReconnectAt(), now() + 1000) << "buffering watchdog = Buffer seconds";
    EXPECT_EQ(views[0]->statusWord, QStringLiteral("Buffer"));

    engine.setFill(ch.Stream(), 88200, 176400);  // 50 %
    run(10);
    EXPECT_EQ(views[0]->gauge, 50);
    EXPECT_EQ(ch.Status(), ChannelStatus::Buffer);
    engine.setFill(ch.Stream(), 160000, 176400);  // 90.7 %
    run(10);
    ASSERT_EQ(ch.Status(), ChannelStatus::Play);
    EXPECT_EQ(ch.PlayStart(), now());
    EXPECT_EQ(ch.BreakStart(), 0);
    EXPECT_EQ(ch.ReconnectAt(), 0);
    EXPECT_EQ(ch.ErrorCount(), 0);
    EXPECT_EQ(eventNames(), std::vector<std::string>{"Online"});
    EXPECT_TRUE(engine.playing(ch.Stream()));
    EXPECT_EQ(engine.volume(ch.Stream()), 0.0f) << "a stream starts silent";
    EXPECT_EQ(engine.dspCount(ch.Stream()), 1);
    EXPECT_EQ(ch.Message(), QStringLiteral("Online"));
    run(10);
    EXPECT_EQ(views[0]->statusWord, QStringLiteral("Online"));
    EXPECT_EQ(views[0]->statusColor, QColor(0, 128, 0));
    EXPECT_EQ(ch.Silence().Mode(), TSilence::WatchSilence);
    EXPECT_EQ(views[0]->station, QStringLiteral(" Radio X")) << "kept as received";
    EXPECT_EQ(views[0]->bitrateLine, QStringLiteral("128 Stereo"));
    EXPECT_TRUE(ch.TitleChanged());

    ch.Stop();
    EXPECT_EQ(ch.Status(), ChannelStatus::Stop);
    EXPECT_EQ(ch.Stream(), 0u);
    EXPECT_FALSE(engine.exists(1));
    EXPECT_TRUE(ch.StationName().isEmpty() && ch.BitrateText().isEmpty() && ch.Title().isEmpty());
    EXPECT_EQ(views[0]->bitrateLine, QString());
    EXPECT_EQ(ch.PlayStart(), 0);
    EXPECT_EQ(ch.Silence().Mode(), TSilence::Off);
    EXPECT_EQ(eventNames(), std::vector<std::string>{"Online"}) << "Stop raises no event";
}

TEST_F(ChannelStates, FailedConnectsRetryAfterOneTwoUpToTwentySecondsAndDeclareABreak) {
    for (int i = 0; i < 23; ++i) {
        engine.scriptOpen(Failing(kErrTimeout));
    }
    TfrChannelForm& ch = make();
    tickAll();
    const std::int64_t started = now();
    ch.Play();
    std::vector<std::int64_t> attempts;
    std::int64_t breakAt = -1;
    while (attempts.size() < 23) {
        const std::size_t before = engine.opened().size();
        run(10);
        if (engine.opened().size() > before) {
            attempts.push_back(now());
        }
        if (breakAt < 0 && !events.empty()) {
            breakAt = now() - started;
        }
    }
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < attempts.size(); ++i) {
        gaps.push_back(attempts[i] - attempts[i - 1]);
    }
    std::vector<std::int64_t> expected;
    for (int s = 1; s <= 20; ++s) {
        expected.push_back(s * 1000 + 10);  // the retry fires, the attempt starts one tick later
    }
    expected.push_back(20010);
    expected.push_back(20010);
    EXPECT_EQ(gaps, expected);
    EXPECT_EQ(ch.ErrorCount(), 20);
    EXPECT_EQ(breakAt, 10000) << "a break after BreakTime from the first Play";
    EXPECT_EQ(events, (std::vector<ChannelEvent>{{"PlayChild", 0, kChildBreak}}));
    // "Connect" shows once; after the first failure "Error" stays.
    EXPECT_EQ(std::count(views[0]->statusWords.begin(), views[0]->statusWords.end(),
                         QStringLiteral("Connect")),
              1);
    EXPECT_EQ(views[0]->statusWord, QStringLiteral("Error"));
    EXPECT_EQ(views[0]->statusColor, QColor(255, 0, 0));
    EXPECT_EQ(ch.Message(), QStringLiteral("Code 40. Connection timed out"));
    EXPECT_EQ(logLines(), QStringList{QStringLiteral("Ch 1: Code 40. Connection timed out")})
        << "the same text is logged once";
}

TEST_F(ChannelStates, ErrorTextsComeFromTheLanguageAndEachNewTextIsLoggedOnce) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(QVM_TEST_SOURCE_DIR "/lang/QVMirelta.Deutsch.lng"),
                            dir.file(QStringLiteral("QVMirelta.Deutsch.lng"))));
    language.ScanLanguages();
    ASSERT_TRUE(language.SelectLanguage(0));
    const QString code40 = ErrorText(language, kErrTimeout);
    const QString code2 = ErrorText(language, kErrFileOpen);
    const QString code12 = ErrorText(language, 12);
    ASSERT_NE(code40, QStringLiteral("Code 40. Connection timed out")) << "German text expected";

    engine.scriptOpen(Failing(kErrTimeout));
    engine.scriptOpen(Failing(kErrTimeout));
    engine.scriptOpen(Failing(kErrFileOpen));
    engine.scriptOpen(Failing(12));  // a code without a text
    TfrChannelForm& ch = make(1);
    ch.Play();
    ASSERT_GE(runUntil([&] { return engine.opened().size() == 4 && !anyPending(); }, 20000), 0);
    run(10);
    EXPECT_EQ(ch.Message(), code12);
    EXPECT_TRUE(code12.endsWith(QStringLiteral(" 12. "))) << code12.toStdString();
    EXPECT_EQ(logLines(),
              (QStringList{QStringLiteral("Ch 2: ") + code40, QStringLiteral("Ch 2: ") + code2,
                           (QStringLiteral("Ch 2: ") + code12).trimmed()}));
    EXPECT_EQ(views[0]->message, code12);
}

TEST_F(ChannelStates, BufferingWatchdogFiresOnlyWhenTheFillStopsRising) {
    TfrChannelForm& ch = make();
    ch.Play();
    tickAll();
    settle();
    ASSERT_EQ(ch.Status(), ChannelStatus::Buffer);
    const audio::StreamHandle stream = ch.Stream();
    // Rising by 10 % every 600 ms keeps pushing the 1 s watchdog out.
    for (int p = 10; p <= 80; p += 10) {
        engine.setFill(stream, p * 1764, 176400);
        run(600);
        ASSERT_EQ(ch.Status(), ChannelStatus::Buffer) << p;
    }
    // Stuck at 80 %: Buffer seconds after the last rise, code 4.
    const std::int64_t fired = runUntil([&] { return ch.Status() == ChannelStatus::Error; }, 5000);
    EXPECT_EQ(fired, 400 + 10);
    EXPECT_EQ(ch.Message(), QStringLiteral("Code 4. The sample buffer was lost"));
    EXPECT_FALSE(engine.exists(stream));
    EXPECT_EQ(ch.ReconnectAt(), now() + 1000) << "then a retry after ErrorCount seconds";

    // A connection that never comes up trips the watchdog as well.
    FakeAudioEngine::OpenScript down;
    down.connected = false;
    engine.scriptOpen(down);
    ASSERT_GE(runUntil([&] { return ch.Status() == ChannelStatus::Buffer; }, 3000), 0);
    const std::int64_t stalled =
        runUntil([&] { return ch.Status() == ChannelStatus::Error; }, 5000);
    EXPECT_EQ(stalled, 1000);
}

TEST_F(ChannelStates, UnderrunWatchdogByFill) {
    struct Case {
        std::int64_t percent;
        std::int64_t reconnectAfter;  // -1: never within 5 s
    };
    const Case cases[] = {{0, 100}, {1, 1000}, {5, 1000}, {6, -1}, {50, -1}};
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        TfrChannelForm& ch = make();
        startPlaying(ch);
        const audio::StreamHandle stream = ch.Stream();
        engine.setFill(stream, c.percent * 1764, 176400);
        const std::int64_t t = runUntil(
            [&] {
                return ch.Status() == ChannelStatus::Connect || ch.ConnectPending() ||
                       ch.Stream() != stream;
            },
            5000);
        if (c.reconnectAfter < 0) {
            EXPECT_EQ(t, -1) << c.percent;
        } else {
            // Armed on the first tick that sees the level, fired when due.
            EXPECT_EQ(t, c.reconnectAfter + 10) << c.percent;
            EXPECT_FALSE(engine.exists(stream)) << c.percent;
        }
    }
}

TEST_F(ChannelStates, RisingBufferDisarmsTheUnderrunWatchdog) {
    TfrChannelForm& ch = make();
    startPlaying(ch);
    const audio::StreamHandle stream = ch.Stream();
    engine.setFill(stream, 2 * 1764, 176400);
    run(500);
    EXPECT_GT(ch.ReconnectAt(), 0);
    engine.setFill(stream, 3 * 1764, 176400);
    run(10);
    EXPECT_EQ(ch.ReconnectAt(), 0);
    engine.setFill(stream, 60 * 1764, 176400);
    run(3000);
    EXPECT_EQ(ch.Status(), ChannelStatus::Play);
    EXPECT_EQ(ch.Stream(), stream);
}

// Each time the stream ran dry (the engine stalled it) one line goes to the
// log, without disturbing the channel; the stall's empty buffer is the
// underrun watchdog's business.
TEST_F(ChannelStates, StallsOfThePlayingStreamAreLoggedOnceEach) {
    TfrChannelForm& ch = make();
    startPlaying(ch);
    const QString line = QStringLiteral("Ch 1: ") + language.Text(keys::msg::Stalled);
    run(100);
    EXPECT_FALSE(logLines().contains(line));
    engine.setStats(ch.Stream(), {.stalls = 1});
    run(100);
    EXPECT_EQ(logLines().count(line), 1);
    engine.setStats(ch.Stream(), {.stalls = 2});
    run(100);
    EXPECT_EQ(logLines().count(line), 2);
    EXPECT_EQ(ch.Status(), ChannelStatus::Play);
}

// A connection the engine restored while the ring played is not heard, so the
// channel carries on as it was; the log says it happened, and whether the
// seam left a short gap.
TEST_F(ChannelStates, RestoredConnectionsAreLoggedAndChangeNothingElse) {
    TfrChannelForm& ch = make();
    startPlaying(ch);
    const audio::StreamHandle stream = ch.Stream();
    const QString seamless = QStringLiteral("Ch 1: ") + language.Text(keys::msg::Rejoined);
    const QString gap = QStringLiteral("Ch 1: ") + language.Text(keys::msg::RejoinedGap);
    engine.setStats(stream, {.rejoins = 1});
    run(100);
    engine.setStats(stream, {.rejoins = 2, .rejoinGaps = 1});
    run(100);
    EXPECT_EQ(logLines().count(seamless), 1);
    EXPECT_EQ(logLines().count(gap), 1);
    EXPECT_EQ(ch.Status(), ChannelStatus::Play);
    EXPECT_EQ(ch.Stream(), stream);
    EXPECT_EQ(ch.ErrorCount(), 0);
}

// A stream whose reader gave up on what the server sends (no decodable audio
// for a while) is a failed connection: its error text and log line, the error
// state and the retry after the back-off, instead of an endless round of
// immediate reconnects through the underrun watchdog.
TEST_F(ChannelStates, StreamThatFailsWhilePlayingIsAnErrorWithItsBackOff) {
    TfrChannelForm& ch = make();
    startPlaying(ch);
    const audio::StreamHandle stream = ch.Stream();
    engine.setStats(stream, {.error = audio::kErrFileForm});
    run(10);
    EXPECT_EQ(ch.Status(), ChannelStatus::Error);
    EXPECT_FALSE(engine.exists(stream));
    EXPECT_EQ(ch.Message(), ErrorText(language, audio::kErrFileForm));
    EXPECT_EQ(ch.ErrorCount(), 1);
    EXPECT_EQ(ch.ReconnectAt(), now() + 1000);
    run(10);
    EXPECT_TRUE(logLines().contains(QStringLiteral("Ch 1: ") + ch.Message()));
    const std::size_t opens = engine.opened().size();
    run(900);
    EXPECT_EQ(engine.opened().size(), opens) << "no reconnect before the back-off";
    run(200);
    EXPECT_EQ(engine.opened().size(), opens + 1);

    // A server that does this again and again: the third time within a
    // minute is a break, and the controller is asked for a substitute.
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(std::find(events.begin(), events.end(),
                              ChannelEvent{"PlayChild", 0, kChildBreak}) == events.end());
        engine.setFill(ch.Stream(), 95 * 1764, 176400);
        run(20);
        ASSERT_EQ(ch.Status(), ChannelStatus::Play);
        engine.setStats(ch.Stream(), {.error = audio::kErrFileForm});
        run(1200);
    }
    EXPECT_TRUE(ch.InBreak());
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"Online", "Online", "Online", "PlayChild"}));
}

TEST_F(ChannelStates, ThreeReconnectsWithinAMinuteDeclareABreakAtOnce) {
    settings.BreakTime = 1000;  // would never be reached by timing alone
    TfrChannelForm& ch = make();
    startPlaying(ch);
    for (int i = 0; i < 3; ++i) {
        engine.setFill(ch.Stream(), 0, 176400);
        ASSERT_GE(runUntil([&] { return ch.Status() != ChannelStatus::Play; }, 1000), 0);
        EXPECT_EQ(ch.InBreak(), false) << i;
        ASSERT_GE(runUntil([&] { return ch.Status() == ChannelStatus::Buffer; }, 1000), 0);
        engine.setFill(ch.Stream(), 95 * 1764, 176400);
        run(10);
        ASSERT_EQ(ch.Status(), ChannelStatus::Play);
    }
    EXPECT_TRUE(ch.InBreak()) << "declared on the tick after the third reconnect";
    EXPECT_EQ(ch.InChild(), kChildBreak);
    EXPECT_EQ(eventNames(),
              (std::vector<std::string>{"Online", "Online", "Online", "PlayChild", "Online"}));

    // Two reconnects more than a minute apart do not.
    channels.clear();
    views.clear();
    events.clear();
    TfrChannelForm& calm = make();
    startPlaying(calm);
    for (int i = 0; i < 3; ++i) {
        engine.setFill(calm.Stream(), 0, 176400);
        ASSERT_GE(runUntil([&] { return calm.Status() == ChannelStatus::Buffer; }, 2000), 0);
        engine.setFill(calm.Stream(), 95 * 1764, 176400);
        run(31000);
    }
    EXPECT_FALSE(calm.InBreak());
}

TEST_F(ChannelStates, BreakRecoversAfterConnectTimeOfPlayAndWithRestoreModeOnlyAtFaderZero) {
    struct Case {
        bool restoreMode;
        double fader;
        bool recovers;
    };
    const Case cases[] = {{false, 100, true}, {true, 0, true}, {true, 50, false}};
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        events.clear();
        settings.RestoreMode = c.restoreMode;
        settings.ConnectTime = 5;
        mainFader = c.fader;
        for (int i = 0; i < 3; ++i) {
            engine.scriptOpen(Failing(kErrFileOpen));
        }
        TfrChannelForm& ch = make();
        ch.Play();
        ASSERT_GE(runUntil([&] { return ch.InBreak(); }, 11000), 0);
        ASSERT_GE(runUntil([&] { return ch.Status() == ChannelStatus::Buffer; }, 10000), 0);
        engine.setFill(ch.Stream(), 95 * 1764, 176400);
        run(10);
        ASSERT_EQ(ch.Status(), ChannelStatus::Play);
        // A drop before ConnectTime starts a new period at the next Play.
        run(3000);
        engine.setFill(ch.Stream(), 0, 176400);
        ASSERT_GE(runUntil([&] { return ch.Status() == ChannelStatus::Buffer; }, 2000), 0);
        engine.setFill(ch.Stream(), 95 * 1764, 176400);
        run(10);
        const std::int64_t recovered = runUntil([&] { return !ch.InBreak(); }, 8000);
        if (c.recovers) {
            EXPECT_EQ(recovered, 5000) << c.restoreMode;
            EXPECT_EQ(eventNames(),
                      (std::vector<std::string>{"PlayChild", "Online", "Online", "StopChild"}));
            EXPECT_EQ(ch.BreakStart(), 0);
        } else {
            EXPECT_EQ(recovered, -1);
            mainFader = 0;
            run(10);
            EXPECT_FALSE(ch.InBreak()) << "recovers once the studio plays";
        }
    }
}

TEST_F(ChannelStates, SwitchByMasksWhatReachesInChild) {
    struct Case {
        std::uint8_t switchBy;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {3, kChildSilence | kChildBreak}, {1, kChildSilence}, {2, kChildBreak}, {0, 0}};
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        events.clear();
        settings.SwitchBy = c.switchBy;
        settings.SilenceTime = 1;
        settings.BreakTime = 3;
        TfrChannelForm& ch = make();
        startPlaying(ch);
        // Silence: the tap delivers quiet blocks.
        std::vector<std::int16_t> quiet(1764, 0);
        for (int i = 0; i < 60; ++i) {
            engine.feedDsp(ch.Stream(), quiet);
            run(20);
        }
        EXPECT_EQ(views[0]->statusWord, QStringLiteral("Silence")) << "shown whatever SwitchBy";
        // Break: the stream runs dry and new ones never fill.
        engine.setFill(ch.Stream(), 0, 176400);
        run(4000);
        EXPECT_TRUE(ch.InBreak()) << "timed whatever SwitchBy";
        EXPECT_EQ(ch.InChild(), c.expected) << int(c.switchBy);
        const auto names = eventNames();
        EXPECT_EQ(std::count(names.begin(), names.end(), "PlayChild"), c.expected != 0 ? 1 : 0)
            << "raised once, when the first bit is set";
        EXPECT_EQ(std::count(names.begin(), names.end(), "StopChild"), 0);
    }
}

TEST_F(ChannelStates, SilenceAndSoundRaiseOneEventPerChange) {
    settings.SilenceTime = 1;
    settings.RestoreTime = 0.5;
    TfrChannelForm& ch = make();
    startPlaying(ch);
    events.clear();
    std::vector<std::int16_t> quiet(1764, 0);
    std::vector<std::int16_t> loud(1764, 8000);
    const auto feed = [&](std::vector<std::int16_t>& block, int ms) {
        for (int t = 0; t < ms; t += 20) {
            std::vector<std::int16_t> copy = block;
            engine.feedDsp(ch.Stream(), copy);
            run(20);
        }
    };
    feed(quiet, 1200);
    EXPECT_EQ(events, (std::vector<ChannelEvent>{{"PlayChild", 0, kChildSilence}}));
    feed(quiet, 1000);
    EXPECT_EQ(events.size(), 1u);
    feed(loud, 700);
    EXPECT_EQ(events,
              (std::vector<ChannelEvent>{{"PlayChild", 0, kChildSilence}, {"StopChild", 0, 0}}));
    EXPECT_EQ(views[0]->statusWord, QStringLiteral("Online"));
}

TEST_F(ChannelStates, StopDuringAConnectReturnsAtOnceAndTheAttemptIsCollectedLater) {
    FakeAudioEngine::OpenScript blocked;
    blocked.block = true;
    engine.scriptOpen(blocked);
    TfrChannelForm& ch = make();
    ch.Play();
    tickAll();
    waitReal([&] { return engine.blockedOpens() > 0; });
    ASSERT_EQ(engine.blockedOpens(), 1);
    ch.Stop();
    EXPECT_EQ(ch.Status(), ChannelStatus::Stop);
    EXPECT_TRUE(ch.ConnectPending()) << "Stop did not wait for the attempt";
    // The attempt was told to give up: it ends without releaseOpens().
    ch.Play();  // a new attempt waits for the old one
    settle();
    ASSERT_EQ(ch.Status(), ChannelStatus::Buffer);
    EXPECT_EQ(engine.opened().size(), 2u);
    EXPECT_EQ(ch.Message(), QString()) << "the abandoned attempt's failure is not shown";
}

TEST_F(ChannelStates, StopAfterTheAttemptOpenedFreesItsStream) {
    TfrChannelForm& ch = make();
    ch.Play();
    tickAll();
    ASSERT_TRUE(waitReal([&] { return engine.exists(1); }));
    ch.Stop();  // the attempt is done or about to be: either way its stream is no one's
    settle();
    EXPECT_FALSE(engine.exists(1));
    EXPECT_EQ(ch.Stream(), 0u);
    EXPECT_EQ(ch.Status(), ChannelStatus::Stop);
}

TEST_F(ChannelStates, DestroyingAConnectingChannelAbortsAndFreesTheAttempt) {
    FakeAudioEngine::OpenScript blocked;
    blocked.block = true;
    engine.scriptOpen(blocked);
    TfrChannelForm& ch = make();
    ch.Play();
    tickAll();
    waitReal([&] { return engine.blockedOpens() > 0; });
    channels.clear();  // joins the aborted attempt
    EXPECT_EQ(engine.blockedOpens(), 0);
    EXPECT_TRUE(engine.calls("Free").empty()) << "nothing was opened";
}

TEST_F(ChannelStates, HlsUrlsAreOpenedAsHlsWhenTheEngineCan) {
    struct Case {
        const char* url;
        bool supported;
        bool hls;
    };
    const Case cases[] = {
        {"http://h/live/index.m3u8", true, true}, {"http://h/LIVE.M3U8?token=1", true, true},
        {"http://h/a.m3U8/b", true, true},        {"http://h/index.m3u8", false, false},
        {"http://h/stream.mp3", true, false},
    };
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        engine.setHlsSupported(c.supported);
        ChannelSettings data;
        data.URL = QString::fromLatin1(c.url);
        TfrChannelForm& ch = make(0, data);
        ch.Play();
        tickAll();
        settle();
        ASSERT_FALSE(engine.opened().empty());
        EXPECT_EQ(engine.opened().back().url, c.url);
        EXPECT_EQ(engine.opened().back().hls, c.hls) << c.url;
    }
}

TEST_F(ChannelStates, PlannedRestartKeepsTheOldStreamUntilTheNewOneHasBuffered) {
    ChannelSettings data;
    data.Restart = RestartPlan{RestartPlan::kAfterHours, 1, 0}.Pack();
    TfrChannelForm& ch = make(0, data);
    startPlaying(ch);
    EXPECT_NEAR(ch.NextRestart(), FakeClock::WallDays() + 1.0 / 24, 1e-9);
    const audio::StreamHandle old = ch.Stream();
    FakeClock::wallDays = FakeClock::WallDays() + 1.0 / 24 + 1e-6;
    run(10);
    settle();
    ASSERT_EQ(ch.Status(), ChannelStatus::Buffer);
    EXPECT_TRUE(ch.Restarting());
    EXPECT_EQ(ch.OldStream(), old);
    EXPECT_TRUE(engine.playing(old)) << "still audible";
    const audio::StreamHandle fresh = ch.Stream();
    EXPECT_NE(fresh, old);
    engine.setFill(fresh, 95 * 1764, 176400);
    run(10);
    EXPECT_EQ(ch.Status(), ChannelStatus::Play);
    EXPECT_FALSE(engine.exists(old));
    EXPECT_EQ(ch.OldStream(), 0u);
    EXPECT_FALSE(ch.Restarting());
    EXPECT_EQ(engine.dspCount(fresh), 1);
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"Online", "Online"}));
    EXPECT_NEAR(ch.NextRestart(), FakeClock::WallDays() + 1.0 / 24, 1e-9);
}

TEST_F(ChannelStates, PlannedRestartWhoseNewStreamFailsReleasesBothAndRetries) {
    ChannelSettings data;
    data.Restart = RestartPlan{RestartPlan::kAfterHours, 2, 0}.Pack();
    TfrChannelForm& ch = make(0, data);
    startPlaying(ch);
    const audio::StreamHandle old = ch.Stream();
    engine.scriptOpen(Failing(kErrFileOpen));
    FakeClock::wallDays = FakeClock::WallDays() + 2.0 / 24 + 1e-6;
    run(10);
    settle();
    EXPECT_EQ(ch.Status(), ChannelStatus::Error);
    EXPECT_FALSE(engine.exists(old));
    EXPECT_EQ(ch.OldStream(), 0u);
    EXPECT_EQ(ch.Stream(), 0u);
    EXPECT_EQ(ch.ReconnectAt(), now() + 1000);
    ASSERT_GE(runUntil([&] { return ch.Status() == ChannelStatus::Buffer; }, 1100), 0);
}

TEST_F(ChannelStates, RestartOnlyWhenStudioPlaysWaitsForTheMainFaderAtZero) {
    ChannelSettings data;
    data.Restart = 1;  // taken as 24 hours, only while the studio plays
    TfrChannelForm& ch = make(0, data);
    mainFader = 100;
    startPlaying(ch);
    EXPECT_NEAR(ch.NextRestart(), FakeClock::WallDays() + 1.0, 1e-9);
    FakeClock::wallDays = FakeClock::WallDays() + 1.5;
    run(1000);
    EXPECT_FALSE(ch.Restarting());
    mainFader = 0;
    run(10);
    EXPECT_TRUE(ch.Restarting() || ch.ConnectPending());
}

TEST_F(ChannelStates, StopDuringAPlannedRestartSilencesBothStreams) {
    ChannelSettings data;
    data.Restart = RestartPlan{RestartPlan::kAfterHours, 1, 0}.Pack();
    TfrChannelForm& ch = make(0, data);
    startPlaying(ch);
    const audio::StreamHandle old = ch.Stream();
    FakeClock::wallDays = FakeClock::WallDays() + 1.0 / 24 + 1e-6;
    run(10);
    settle();
    ASSERT_TRUE(ch.Restarting());
    ch.Stop();
    EXPECT_FALSE(engine.exists(old));
    EXPECT_EQ(ch.OldStream(), 0u);
    EXPECT_FALSE(ch.Restarting());
}

TEST_F(ChannelStates, InitStatusClearsFaultsAndMakesAPendingReconnectImmediate) {
    settings.BreakTime = 1;
    engine.scriptOpen(Failing(kErrFileOpen));
    engine.scriptOpen(Failing(kErrFileOpen));
    TfrChannelForm& ch = make();
    ch.Play();
    ASSERT_GE(runUntil([&] { return ch.InBreak(); }, 5000), 0);
    ASSERT_EQ(ch.Status(), ChannelStatus::Error);
    ASSERT_GT(ch.ReconnectAt(), now());
    const std::size_t events0 = events.size();
    ch.Init_Status();
    EXPECT_EQ(ch.InChild(), 0);
    EXPECT_FALSE(ch.InBreak());
    EXPECT_EQ(ch.BreakStart(), 0);
    EXPECT_EQ(ch.ReconnectAt(), now());
    EXPECT_EQ(events.size(), events0) << "no event";
    const std::size_t opens = engine.opened().size();
    run(20);
    EXPECT_EQ(engine.opened().size(), opens + 1) << "reconnects on the next tick";
}

TEST_F(ChannelStates, VolumeFollowsFaderAndMainVolume) {
    TfrChannelForm& ch = make();
    startPlaying(ch);
    struct Case {
        int mainVolume;
        double value;
        float applied;
        double stored;
    };
    const Case cases[] = {{100, 1.0, 1.0f, 1.0},
                          {50, 1.0, 0.5f, 1.0},
                          {80, 0.5, 0.4f, 0.5},
                          {100, 1.7, 1.0f, 1.0},
                          {100, -0.2, 0.0f, 0.0}};
    for (const Case& c : cases) {
        ctx->mainVolume = c.mainVolume;
        ch.Fader_SetVolume(c.value);
        EXPECT_FLOAT_EQ(engine.volume(ch.Stream()), c.applied) << c.mainVolume << " " << c.value;
        EXPECT_DOUBLE_EQ(ch.ChannelVolume(), c.stored);
        EXPECT_EQ(views[0]->slider, static_cast<int>(c.stored * 100));
    }
    ch.Fader_SetVolume(0.5);
    ctx->mainVolume = 20;
    ch.Update_MainVolume();
    EXPECT_FLOAT_EQ(engine.volume(ch.Stream()), 0.1f);
}

TEST_F(ChannelStates, StopByFaderStopsOrKeepsAnAlwaysChannelRunning) {
    for (const bool always : {false, true}) {
        channels.clear();
        views.clear();
        ChannelSettings data;
        data.Always = always;
        TfrChannelForm& ch = make(0, data);
        startPlaying(ch);
        ch.Fader().FadeTo(1.0, 0);
        ch.StopByFader();  // ChFadeOut 0: at once
        EXPECT_EQ(ch.Status(), always ? ChannelStatus::Play : ChannelStatus::Stop) << always;
        EXPECT_EQ(ch.ChannelVolume(), 0.0);
        EXPECT_EQ(ch.Silence().Mode(), always ? TSilence::WatchSilence : TSilence::Off);
        // The normal end callback is back: a later fade does not stop the channel.
        ch.Play();
        ch.Fader().FadeTo(1.0, 0);
        ch.Fader().FadeTo(0.0, 0);
        EXPECT_NE(ch.Status(), ChannelStatus::Stop);
    }
}

TEST_F(ChannelStates, LookButtonImage) {
    struct Case {
        bool always;
        int onAir;
        bool running;
        int image;
    };
    const Case cases[] = {{false, 1, false, 0},
                          {false, 1, true, 1},
                          {true, 1, true, 3},
                          {false, 0, true, 3},
                          {false, -1, false, 3}};
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        ctx->onAirIndex = c.onAir;
        ChannelSettings data;
        data.Always = c.always;
        TfrChannelForm& ch = make(0, data);
        if (c.running) {
            ch.Play();
        }
        ch.ShowLookButton();
        EXPECT_EQ(views[0]->lookImage, c.image) << c.always << c.onAir << c.running;
        const ChannelStatus before = ch.Status();
        ch.SBLookClick();
        EXPECT_EQ(ch.Status() != before, c.image != 3) << "only an enabled button acts";
        ch.Stop();
        settle();
    }
}

TEST_F(ChannelStates, CountersAndIndicator) {
    settings.BreakTime = 10;
    engine.scriptOpen(Failing(kErrFileOpen));
    engine.scriptOpen(Failing(kErrFileOpen));
    TfrChannelForm& ch = make();
    ch.Play();
    run(2000);  // failed at once, retry at 1 s failed again, next retry 2 s later
    const RecordingView& v = *views[0];
    EXPECT_EQ(v.breakTime, QStringLiteral("00:00:02"));
    EXPECT_TRUE(v.toConnectRed);
    EXPECT_TRUE(v.toConnect.startsWith(QLatin1Char('-'))) << v.toConnect.toStdString();
    EXPECT_NEAR(v.indicatorRatio, 0.2, 0.002);
    EXPECT_EQ(v.indicatorColor,
              GetGradColor(kIndicatorRed, kIndicatorBackground, v.indicatorRatio));
    EXPECT_EQ(GetGradColor(kIndicatorRed, kIndicatorBackground, 0.5), QColor(208, 87, 101));
    ASSERT_GE(runUntil([&] { return ch.Status() == ChannelStatus::Buffer; }, 5000), 0);
    engine.setFill(ch.Stream(), 95 * 1764, 176400);
    run(1010);
    EXPECT_EQ(v.playTime, QStringLiteral("00:00:01"));
    EXPECT_TRUE(v.breakTime.isEmpty());
    EXPECT_FALSE(v.toConnectRed);
}

// A page nobody can see gets no meter and no counters from the ticks; the
// first tick after it is seen again brings both up to date.
TEST_F(ChannelStates, APageNobodySeesIsNotDrawnAndCatchesUpOnceSeen) {
    TfrChannelForm& ch = make();
    startPlaying(ch);
    RecordingView& v = *views[0];
    run(1010);
    const QString shownPlayTime = v.playTime;
    EXPECT_FALSE(shownPlayTime.isEmpty());
    v.shown = false;
    const int levels = v.levelCalls;
    const int counters = v.counterCalls;
    run(3000);
    EXPECT_EQ(v.levelCalls, levels);
    EXPECT_EQ(v.counterCalls, counters);
    EXPECT_EQ(v.playTime, shownPlayTime);
    v.shown = true;
    run(10);
    EXPECT_GT(v.levelCalls, levels);
    EXPECT_GT(v.counterCalls, counters);
    EXPECT_NE(v.playTime, shownPlayTime);
    EXPECT_EQ(ch.Status(), ChannelStatus::Play) << "drawing is all that was left out";
}

TEST_F(ChannelStates, StatusDoubleClickSkipsAhead) {
    TfrChannelForm& ch = make();
    ch.LabStatusDblClick();
    EXPECT_EQ(views[0]->message, QStringLiteral("-1 False"));
    startPlaying(ch);
    engine.setPosition(ch.Stream(), 1000);
    ch.LabStatusDblClick();
    EXPECT_EQ(views[0]->message, QStringLiteral("1000 True"));
}

}  // namespace
}  // namespace qvm::test
