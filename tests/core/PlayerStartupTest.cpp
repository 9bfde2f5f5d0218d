// Start-up order, the timer hand-over, the main loop and shutdown of the player.

#include <signal.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QtEndian>
#include <bit>
#include <cmath>
#include <cstring>
#include <thread>

#include "core/DeviceStartup.h"
#include "core/PlayerHarness.h"
#include "core/TerminationSignals.h"

namespace qvm::test {
namespace {

using Handler = Player::TimerHandler;

class PlayerStartup : public PlayerHarness {};

// Records what start-up asked of the plug-in host, in order.
struct RecordingDsp final : IDspHost {
    QStringList calls;
    void InitPlugins() override { calls << QStringLiteral("Init"); }
    bool LoadPlugin(const QString& folder, const QString& file) override {
        calls << QStringLiteral("Load ") + folder + file;
        return true;
    }
    void ScanPlugins(const QString&) override {}
    QStringList FoundPlugins() const override { return {}; }
    void UnloadPlugin(int) override {}
    void ConfigPlugin(int) override {}
    QList<LoadedPluginInfo> LoadedPlugins() const override { return {}; }
    void FreePlugins() override { calls << QStringLiteral("Free"); }
    DspChain Chain() override {
        calls << QStringLiteral("Chain");
        return [](std::int16_t*, std::uint32_t, std::uint32_t, std::uint32_t) {};
    }
};

// Qt's own texts are in the language before anything can show them, and the
// caption names the application and the tray icon; the window itself is
// translated last.
TEST_F(PlayerStartup, SkinTextsAndTitleComeFirstAndTheWindowIsTranslatedLast) {
    addChannels(1);
    start();
    ASSERT_TRUE(created);
    EXPECT_EQ(view.calls, (QStringList{"translateSkinTexts", "applyTitle", "Language_Change"}));
}

TEST_F(PlayerStartup, DeviceAndSourceModeDecideWhatRunsAfterStartUp) {
    struct Case {
        const char* name;
        bool devicePresent;
        int sourceMode;
        Handler handler;
        int interval;
        bool playing;
        int onAir;
        int volume;  // track bar
        std::vector<std::pair<std::uint16_t, std::uint16_t>> notes;
    };
    const Case cases[] = {
        {"autoplay", true, 1, Handler::NuclearWork, 10, true, 0, 80, {}},
        {"no autoplay: volume 0", true, 0, Handler::NuclearWork, 10, false, 0, 0, {}},
        {"interactive", true, 2, Handler::NuclearWork, 10, false, 0, 0, {{kNoteDeviceReady, 0}}},
        {"device missing", false, 1, Handler::WaitDevice, 10, false, -1, 80, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        addChannels(2);
        config.settings.SourceMode = c.sourceMode;
        config.settings.Volume = 80;
        engine.setDevices(c.devicePresent ? std::vector<std::string>{"Null output"}
                                          : std::vector<std::string>{"Other"});
        start();
        ASSERT_TRUE(created);
        EXPECT_EQ(player->Handler(), c.handler);
        EXPECT_EQ(player->Timer().interval(), c.interval);
        EXPECT_TRUE(player->Timer().isActive());
        EXPECT_EQ(player->Playing(), c.playing);
        EXPECT_EQ(player->OnAirIndex(), c.onAir);
        EXPECT_EQ(player->VolumePosition(), c.volume);
        EXPECT_EQ(player->MainVolume(), c.volume);
        EXPECT_EQ(player->MainFader()->Value(), 80) << "the main fader keeps the Volume setting";
        EXPECT_EQ(studio.notes, c.notes);
        EXPECT_EQ(ch(0).Status(), c.playing ? ChannelStatus::Connect : ChannelStatus::Stop);
        EXPECT_EQ(ch(1).Status(), ChannelStatus::Stop);
    }
}

TEST_F(PlayerStartup, DeviceWaitPollsEvery250MsAndHandsTheTimerToTheMainLoop) {
    addChannels(1);
    config.settings.SourceMode = 3;
    config.settings.Wait = 1;
    engine.setDevices({"Other"});
    start();
    ASSERT_EQ(player->Handler(), Handler::WaitDevice);
    EXPECT_EQ(player->Timer().interval(), 10) << "the first poll comes after 10 ms";
    player->TimerTick();
    EXPECT_EQ(player->Timer().interval(), 250);
    EXPECT_TRUE(studio.notes.empty());

    FakeClock::advanceMs(1001);
    player->TimerTick();
    player->TimerTick();
    EXPECT_EQ(studio.notes, (decltype(studio.notes){{kNoteDeviceTimeout, 0}}))
        << "told once when Wait has passed";

    engine.setDevices({"Other", "NULL OUTPUT"});
    player->TimerTick();
    EXPECT_EQ(player->Handler(), Handler::NuclearWork);
    EXPECT_EQ(player->Timer().interval(), 10);
    EXPECT_EQ(engine.initDevice(), 2);
    EXPECT_EQ(view.deviceText, QStringLiteral("Null output (48000)"));
    EXPECT_TRUE(player->Playing()) << "autoplay once the device is there";
    EXPECT_EQ(studio.notes.back(), (std::pair<std::uint16_t, std::uint16_t>{kNoteDeviceReady, 0}));
    player->TimerTick();  // now the main loop: the channel connects
    tick();
    EXPECT_EQ(ch(0).Status(), ChannelStatus::Buffer);
    EXPECT_EQ(engine.opened().size(), 1u);
}

TEST_F(PlayerStartup, DeviceThatCannotBeOpenedLeavesTheTimerIdle) {
    addChannels(1);
    engine.refuseRate(48000);
    engine.refuseRate(44100);
    start();
    ASSERT_TRUE(created);
    EXPECT_EQ(player->Handler(), Handler::None);
    EXPECT_FALSE(player->Timer().isActive());
    EXPECT_EQ(view.deviceText, QStringLiteral("Error initialyze device Null output"));
    EXPECT_FALSE(player->Playing());
}

TEST_F(PlayerStartup, WrongLibraryVersionShowsTheErrorAndEndsTheProgram) {
    addChannels(1);
    engine.setVersionMismatch("libavcodec");
    start();
    EXPECT_FALSE(created);
    EXPECT_EQ(view.presenter.errors,
              QStringList{QStringLiteral("An incorrect version of libavcodec was loaded")});
    EXPECT_EQ(quits, std::vector<int>{1});
    EXPECT_FALSE(player->Timer().isActive());
}

TEST_F(PlayerStartup, SettingsReachTheirPlacesInStartUpOrder) {
    RecordingDsp dsp;
    std::vector<int> httpPorts;
    extraHooks.dspHost = &dsp;
    extraHooks.activateHttpServer = [&](int port) { httpPorts.push_back(port); };
    addChannels(1);
    addChannels(1, true);
    config.settings.SourceMode = 2;
    config.settings.Delay = 700;
    config.settings.HTTPPort = 8123;
    config.settings.Hide = true;
    config.settings.Log = true;
    config.pluginPath = dir.path();
    config.pluginFiles = QStringList{QStringLiteral("dsp_a.so"), QStringLiteral("dsp_b.so")};
    start();
    EXPECT_EQ(
        dsp.calls,
        (QStringList{QStringLiteral("Init"), QStringLiteral("Load ") + dir.path() + "dsp_a.so",
                     QStringLiteral("Load ") + dir.path() + "dsp_b.so", QStringLiteral("Chain")}));
    EXPECT_TRUE(static_cast<bool>(player->context().dspChain));
    EXPECT_EQ(player->SendDelay(), 700);
    EXPECT_EQ(httpPorts, std::vector<int>{8123});
    EXPECT_TRUE(view.hideToTray);
    EXPECT_EQ(view.minimized, 1);
    EXPECT_EQ(view.languageChanges, 1);
    EXPECT_TRUE(view.interactive);
    EXPECT_EQ(view.silenceStates, std::vector<bool>{false}) << "\"Online\" at start";
    EXPECT_EQ(view.pages.size(), 2u);
    EXPECT_EQ(statuses(), (std::vector<ChannelStatus>{ChannelStatus::Stop, ChannelStatus::Connect}))
        << "an Always channel is asked to play at once";
    EXPECT_EQ(player->PendingChannel(), -1);

    player.reset();
    EXPECT_EQ(dsp.calls.back(), QStringLiteral("Free"));
}

TEST_F(PlayerStartup, NoChannelShowsNoLevelAndNoSource) {
    start();
    EXPECT_EQ(player->OnAirIndex(), -1);
    for (int i = 0; i < 3; ++i) {
        tick();
        EXPECT_EQ(view.left, -90);
        EXPECT_EQ(view.right, -90);
        EXPECT_FALSE(view.sourceVisible);
    }
    player->MainPlay(true);
    EXPECT_FALSE(player->Playing());
}

TEST_F(PlayerStartup, MainLoopFeedsLevelsSourceAndTitleFromTheChannelOnAir) {
    addChannels(2);
    start();
    untilPlaying({0});
    tick();
    EXPECT_TRUE(view.sourceVisible);
    EXPECT_EQ(view.sourceText, QStringLiteral("On air: channel 1"));
    engine.setLevel(ch(0).Stream(), (16384u << 16) | 32768u);
    tick();
    EXPECT_NEAR(view.left, 0.0, 1e-9);
    EXPECT_NEAR(view.right, -6.0206, 1e-3);

    // A title change goes to the studio program once and shows as sent.
    studio.data.clear();
    engine.setMeta(ch(0).Stream(), "StreamTitle='Song; A';");
    tick();
    tick();
    const auto titles = studio.dataOf(kTitleDataKind);
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles[0], BuildTitleData(QStringLiteral("Song; A")));
    EXPECT_EQ(view.sentTitle, ch(0).Title());
    EXPECT_FALSE(ch(0).TitleChanged());

    // A failed send leaves the label as it was.
    studio.failSends = true;
    ch(0).setTitleChanged(true);
    view.sentTitle = QStringLiteral("unchanged");
    tick();
    EXPECT_EQ(view.sentTitle, QStringLiteral("unchanged"));

    // After a stop the first channel is the one on air again: its (absent)
    // level is shown, and the source label is hidden.
    player->MainStop(false, false);
    tick();
    EXPECT_FALSE(view.sourceVisible);
    EXPECT_EQ(view.left, -100);
}

TEST_F(PlayerStartup, MainQueueIsDrainedEveryTickAndSentOnlyInInteractiveMode) {
    for (const int sourceMode : {1, 3}) {
        SCOPED_TRACE(sourceMode);
        fresh();
        addChannels(1);
        config.settings.SourceMode = sourceMode;
        start();
        untilPlaying({0});
        studio.data.clear();
        run(200);
        const auto blocks = studio.dataOf(kPcmDataKind);
        if (sourceMode & 2) {
            ASSERT_GE(blocks.size(), 9u);
            const QByteArray& b = blocks.back();
            ASSERT_EQ(b.size(), kPcmHeaderBytes + 1764 * 2);
            EXPECT_EQ(qFromLittleEndian<qint32>(b.constData()), 44100);
            EXPECT_EQ(b[4], 2);
            EXPECT_EQ(b[5], 16);
            double left = 0;
            std::memcpy(&left, b.constData() + 6, 8);
            EXPECT_NEAR(left, 20 * std::log10(8000 / 32768.0), 1e-9);
        } else {
            EXPECT_TRUE(blocks.empty());
        }
        int slot = 0;
        EXPECT_EQ(player->context().mainQueue.Pop(INT64_MAX, &slot), nullptr)
            << "nothing is left behind";
    }
}

// The engine's counters reach the player within a tenth of a second; late
// device periods are logged once a minute, and only when there were any.
TEST_F(PlayerStartup, LateDevicePeriodsAreCountedAndLoggedOnceAMinute) {
    config.settings.Log = true;
    addChannels(1);
    start();
    untilPlaying({0});
    const auto logLines = [this] {
        QFile file(dir.path() + QDateTime::currentDateTime().toString(
                                    QStringLiteral("'Log/'yyyy'/'MM'/'dd'.log'")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    const QString late = keys::msg::LatePeriods.englishText();
    engine.setLatePeriods(3);
    engine.setStats(ch(0).Stream(), {.stalls = 2});
    run(110);
    EXPECT_EQ(player->Health().latePeriods, 3u);
    EXPECT_EQ(player->Health().stalls, 2u);
    run(61000);
    EXPECT_EQ(logLines().count(late + QStringLiteral(" 3")), 1) << logLines().toStdString();
    run(61000);
    EXPECT_EQ(logLines().count(late), 1) << "nothing late in the next minute";
    engine.setLatePeriods(5);
    run(61000);
    EXPECT_EQ(logLines().count(late + QStringLiteral(" 2")), 1) << logLines().toStdString();

    // The run's sum when the player closes; the fake clock ticks every 10 ms.
    player->FormClose();
    EXPECT_TRUE(
        logLines().contains(QStringLiteral("Shutdown: 5 late periods, 2 stalls, 0 device losses, 0 "
                                           "connections restored unheard; main loop ticks at "
                                           "most 10 ms apart")))
        << logLines().toStdString();
}

// A sound device lost while playing is shown where the device is shown and
// logged within a tenth of a second of the engine's notice; so is its return.
TEST_F(PlayerStartup, LostDeviceIsShownAndLoggedAndSoIsItsReturn) {
    config.settings.Log = true;
    addChannels(1);
    start();
    untilPlaying({0});
    ASSERT_EQ(view.deviceText, QStringLiteral("Null output (48000)"));
    const QString lost = keys::msg::DeviceLost.englishText();
    const QString back = keys::msg::DeviceBack.englishText();
    const auto logText = [this] {
        QFile file(dir.path() + QDateTime::currentDateTime().toString(
                                    QStringLiteral("'Log/'yyyy'/'MM'/'dd'.log'")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    engine.setDeviceLost(true);
    run(110);
    EXPECT_EQ(view.deviceText, QStringLiteral("Null output (%1)").arg(lost));
    EXPECT_TRUE(logText().contains(QStringLiteral("Null output: ") + lost));
    EXPECT_TRUE(player->Health().deviceLost);
    engine.setDeviceLost(false);
    run(110);
    EXPECT_EQ(view.deviceText, QStringLiteral("Null output (48000)"));
    EXPECT_TRUE(logText().contains(QStringLiteral("Null output: ") + back));
    EXPECT_EQ(player->Health().deviceLosses, 1u);
    EXPECT_EQ(ch(0).Status(), ChannelStatus::Play) << "the channels play on meanwhile";
}

TEST_F(PlayerStartup, RequestFieldsAreCarriedOutByTheNextTickStopBeforePlay) {
    addChannels(3);
    start();
    untilPlaying({0});

    // From another thread, as the HTTP server does.
    std::thread http([this] {
        player->RequestStop();
        player->RequestPlay();
        player->RequestChannel(7);
    });
    http.join();
    EXPECT_TRUE(player->Playing()) << "nothing happens before the tick";
    const auto streamBefore = ch(0).Stream();
    tick();
    EXPECT_TRUE(player->Playing());
    EXPECT_NE(ch(0).Stream(), streamBefore) << "stopped, then started again";
    EXPECT_EQ(player->OnAirIndex(), 0);
    EXPECT_EQ(player->PendingChannel(), -1) << "an index outside the list is dropped";
    EXPECT_FALSE(player->PendingStop() || player->PendingPlay());

    untilPlaying({0});
    std::thread([this] { player->RequestChannel(2); }).join();
    tick();
    EXPECT_EQ(player->PressedChannel(), 2);
    untilPlaying({2});
    EXPECT_EQ(player->OnAirIndex(), 2);
}

TEST_F(PlayerStartup, ShutdownAsksOnlyWhilePlayingAndStopsEverything) {
    struct Case {
        const char* name;
        bool playing;
        bool sessionEnd;
        MessageAnswer answer;
        bool asked;
        bool closed;
    };
    const Case cases[] = {
        {"stopped", false, false, MessageAnswer::No, false, true},
        {"playing, no", true, false, MessageAnswer::No, true, false},
        {"playing, yes", true, false, MessageAnswer::Yes, true, true},
        {"session end", true, true, MessageAnswer::No, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        addChannels(2);
        addChannels(1, true);
        config.settings.SourceMode = c.playing ? 1 : 0;
        start();
        if (c.playing) {
            untilPlaying({0, 2});
        } else {
            untilPlaying({2});
        }
        view.presenter.answer = c.answer;

        bool closed = false;
        if (c.sessionEnd) {
            player->WMSystem_Shutdown_Query();
            closed = player->Closed();
        } else {
            closed = player->FormClose();
        }
        EXPECT_EQ(closed, c.closed);
        EXPECT_EQ(view.presenter.questions.size(), c.asked ? 1u : 0u);
        if (c.asked) {
            EXPECT_EQ(view.presenter.questions[0],
                      QStringLiteral("Stop playing and exit the program?"));
        }
        if (!c.closed) {
            EXPECT_TRUE(player->Playing());
            EXPECT_TRUE(player->Timer().isActive());
            EXPECT_EQ(ch(0).Status(), ChannelStatus::Play);
            EXPECT_TRUE(quits.empty());
            continue;
        }
        EXPECT_EQ(player->ChannelCount(), 0);
        EXPECT_FALSE(player->Timer().isActive());
        EXPECT_TRUE(studio.destroyed);
        EXPECT_EQ(studio.notes.back(),
                  (std::pair<std::uint16_t, std::uint16_t>{kLinkControl, kControlGoodbye}));
        EXPECT_FALSE(engine.calls("Free").empty());
        for (const auto& call : engine.calls("Play")) {
            EXPECT_FALSE(engine.exists(call.stream)) << "every stream was freed";
        }
        EXPECT_EQ(quits, std::vector<int>{0});
        if (c.playing) {
            EXPECT_EQ(view.progress, (std::vector<int>{0, 33, 66, 100}));
            EXPECT_EQ(view.progressClosed, 1);
        } else {
            EXPECT_TRUE(view.progress.empty());
        }
        EXPECT_TRUE(player->FormClose()) << "closing again is harmless";
        EXPECT_EQ(quits.size(), 1u);
        tick();  // a late timer event does nothing
    }
}

TEST_F(PlayerStartup, TerminationSignalClosesWithoutAsking) {
    catchTermination = true;
    addChannels(2);
    start();
    untilPlaying({0});
    ASSERT_TRUE(player->Playing());
    view.presenter.answer = MessageAnswer::No;  // would keep it open, were it asked

    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (quits.empty() && std::chrono::steady_clock::now() < limit) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(quits, std::vector<int>{0});
    // A second request finds it closed.
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    const auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < settle) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(quits, std::vector<int>{0});
    EXPECT_TRUE(view.presenter.questions.isEmpty());
    EXPECT_TRUE(player->Closed());
    EXPECT_FALSE(player->ConfirmExit());
    EXPECT_EQ(player->ChannelCount(), 0);
    for (const auto& call : engine.calls("Play")) {
        EXPECT_FALSE(engine.exists(call.stream)) << "every stream was freed";
    }
}

// SIGHUP (the terminal the player was started from closed) ends it like
// SIGTERM and SIGINT, instead of killing it without a clean stop.
TEST(TerminationSignals, OnlyOneOwnerAndPreviousHandlersRestored) {
    for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction before {};
        ::sigaction(signo, nullptr, &before);
        {
            TerminationSignals first;
            TerminationSignals second;
            EXPECT_TRUE(first.active());
            EXPECT_FALSE(second.active());
            int received = 0;
            QObject::connect(&first, &TerminationSignals::terminationRequested,
                             [&](int sig) { received = sig; });
            ::kill(::getpid(), signo);
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (received == 0 && std::chrono::steady_clock::now() < limit) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            }
            EXPECT_EQ(received, signo);
        }
        struct sigaction after {};
        ::sigaction(signo, nullptr, &after);
        EXPECT_EQ(after.sa_handler, before.sa_handler) << signo;
    }
}

TEST(StudioMessages, PcmDataHeaderAndLevels) {
    struct Case {
        const char* name;
        std::vector<std::int16_t> samples;
        std::uint8_t chans;
        double left, right;
    };
    const double full = 20 * std::log10(32767 / 32768.0);
    const Case cases[] = {
        {"zeros", {0, 0, 0, 0}, 2, -100.0, -100.0},
        {"-32768 counts as 32767", {-32768, 0}, 2, full, -100.0},
        {"mono takes the larger peak",
         {100, -2001},
         1,
         20 * std::log10(2000 / 32768.0),
         20 * std::log10(2000 / 32768.0)},
        {"peak of 1", {1, 0, 0, 1}, 2, 20 * std::log10(1 / 32768.0), 20 * std::log10(1 / 32768.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PcmBlock block;
        block.Freq = 32000;
        block.Chans = c.chans;
        block.Data = c.samples;
        block.Length = static_cast<std::int32_t>(c.samples.size() * 2);
        QByteArray out;
        BuildPcmData(block, out);
        ASSERT_EQ(out.size(), kPcmHeaderBytes + block.Length);
        EXPECT_EQ(qFromLittleEndian<qint32>(out.constData()), 32000);
        EXPECT_EQ(static_cast<std::uint8_t>(out[4]), c.chans);
        EXPECT_EQ(out[5], 16);
        const auto level = [&](int at) {
            return std::bit_cast<double>(qFromLittleEndian<quint64>(out.constData() + at));
        };
        EXPECT_DOUBLE_EQ(level(6), c.left);
        EXPECT_DOUBLE_EQ(level(14), c.right);
        EXPECT_EQ(std::memcmp(out.constData() + kPcmHeaderBytes, c.samples.data(),
                              static_cast<std::size_t>(block.Length)),
                  0);
    }

    // A length beyond the stored samples sends only what is stored.
    PcmBlock damaged;
    damaged.Data = {5, 5};
    damaged.Length = 1000;
    QByteArray out;
    BuildPcmData(damaged, out);
    EXPECT_EQ(out.size(), kPcmHeaderBytes + 4);
}

TEST(StudioMessages, TitleDataIsCutAtACharacterBoundary) {
    EXPECT_EQ(BuildTitleData(QString()), QByteArray("\xFF\xFF\0\0\0\0", 6));
    EXPECT_EQ(BuildTitleData(QStringLiteral("Ab")), QByteArray("\xFF\xFF\0\0\0\0"
                                                               "Ab",
                                                               8));
    // 127 two-byte letters and one more: 254 bytes fit, the next would not.
    const QString longTitle = QString(128, QChar(0x00E9));
    const QByteArray b = BuildTitleData(longTitle);
    EXPECT_EQ(b.size(), 6 + 254);
    EXPECT_EQ(QString::fromUtf8(b.mid(6)), QString(127, QChar(0x00E9)));
}

}  // namespace
}  // namespace qvm::test
