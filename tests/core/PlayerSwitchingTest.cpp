// The switching controller over real channels on the scripted engine: silence
// fed through the channels' sample taps makes them report, and the controller
// moves the air.

#include <sys/stat.h>
#include <QFile>
#include <QFileDevice>

#include "core/PlayerHarness.h"

namespace qvm::test {
namespace {

constexpr int kSubordination = 0;
constexpr int kCycle = 1;

using Note = std::pair<std::uint16_t, std::uint16_t>;

class PlayerSwitching : public PlayerHarness {
  protected:
    // An executable script that appends `word` and its arguments to out.txt.
    QString script(const QString& name, const QString& word) {
        dir.write(name, "#!/bin/sh\necho " + word.toUtf8() + " \"$@\" >> '" +
                            dir.file(QStringLiteral("out.txt")).toUtf8() + "'\n");
        QFile::setPermissions(dir.file(name), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner);
        return dir.file(name);
    }

    // The lines the scripts wrote, once `count` are there (they run detached).
    QStringList scriptLines(int count) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        QStringList lines;
        while (std::chrono::steady_clock::now() < limit) {
            lines = QString::fromUtf8(dir.read(QStringLiteral("out.txt")))
                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            if (lines.size() >= count) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return lines;
    }

    float volumeOf(int i) { return engine.volume(ch(i).Stream()); }

    // Puts channel `index` on air by pressing its play button.
    void press(int index) {
        player->ChannelPressPlayBtn(index);
        untilPlaying({index});
        ASSERT_EQ(player->OnAirIndex(), index);
    }
};

TEST_F(PlayerSwitching, SubordinationHandsOverOnSilenceAndTakesTheAirBack) {
    addChannels(3);
    config.settings.RunOnChange = script(QStringLiteral("change.sh"), QStringLiteral("change"));
    config.settings.RunOnRestore = script(QStringLiteral("restore.sh"), QStringLiteral("restore"));
    start();
    untilPlaying({0});
    EXPECT_EQ(volumeOf(0), 1.0f);

    quiet = {0};
    run(1500);
    ASSERT_EQ(player->OnAirIndex(), 1);
    EXPECT_EQ(statuses(), (std::vector<ChannelStatus>{ChannelStatus::Play, ChannelStatus::Play,
                                                      ChannelStatus::Stop}))
        << "the silent channel keeps running unheard";
    EXPECT_EQ(volumeOf(0), 0.0f);
    EXPECT_EQ(volumeOf(1), 1.0f);
    EXPECT_EQ(view.shownPages, std::vector<int>{1});
    EXPECT_EQ(scriptLines(1), QStringList{QStringLiteral("change")});

    // Channel 2 is started by hand as a spare; channel 1's sound returns.
    ch(2).SBLookClick();
    untilPlaying({2});
    quiet.clear();
    run(1000);
    ASSERT_EQ(player->OnAirIndex(), 0);
    EXPECT_EQ(statuses(), (std::vector<ChannelStatus>{ChannelStatus::Play, ChannelStatus::Stop,
                                                      ChannelStatus::Stop}))
        << "every channel after it faded out and stopped";
    EXPECT_EQ(volumeOf(0), 1.0f);
    EXPECT_EQ(scriptLines(2), (QStringList{QStringLiteral("change"), QStringLiteral("restore")}));
    EXPECT_FALSE(player->SilenceState());
    EXPECT_TRUE(studio.notes.empty());
}

TEST_F(PlayerSwitching, SubstituteIsChosenByModeOrSilenceIsDeclaredOnce) {
    struct Case {
        const char* name;
        int mode;
        int channels;
        int onAir;
        int faulty;  // a running channel with its own fault, -1 for none
        int expected;
        ChannelStatus failingAfter;
    };
    const Case cases[] = {
        {"subordination: the next channel", kSubordination, 3, 0, -1, 1, ChannelStatus::Play},
        {"subordination: the next healthy one", kSubordination, 3, 0, 1, 2, ChannelStatus::Play},
        {"subordination: the last has none", kSubordination, 3, 2, -1, 2, ChannelStatus::Play},
        {"cycle: wraps to a stopped channel", kCycle, 3, 2, -1, 0, ChannelStatus::Stop},
        {"cycle: skips a faulty one", kCycle, 3, 1, 2, 0, ChannelStatus::Stop},
        {"cycle: alone", kCycle, 1, 0, -1, 0, ChannelStatus::Play},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        addChannels(c.channels);
        config.settings.SwitchMode = c.mode;
        start();
        untilPlaying({0});
        if (c.onAir != 0) {
            press(c.onAir);
        }
        if (c.faulty >= 0) {
            ch(c.faulty).SBLookClick();
            untilPlaying({c.faulty});
            quiet = {c.faulty};
            run(1500);
            ASSERT_EQ(ch(c.faulty).InChild(), kChildSilence);
            EXPECT_EQ(player->OnAirIndex(), c.onAir) << "a fault off air changes nothing";
        }
        quiet.insert(c.onAir);
        run(1500);

        EXPECT_EQ(player->OnAirIndex(), c.expected);
        EXPECT_EQ(ch(c.onAir).Status(), c.failingAfter);
        if (c.expected == c.onAir) {
            EXPECT_TRUE(player->SilenceState());
            EXPECT_EQ(view.silenceStates.back(), true);
            EXPECT_EQ(studio.notes,
                      (std::vector<Note>{{kNoteSilence, static_cast<std::uint16_t>(c.onAir)}}));
            player->PlayChild(c.onAir);  // a further fault is not announced again
            EXPECT_EQ(studio.notes.size(), 1u);
            EXPECT_EQ(ch(c.onAir).Fader().Value(), 1.0) << "nothing is faded";
        } else {
            EXPECT_FALSE(player->SilenceState());
            EXPECT_TRUE(studio.notes.empty());
            EXPECT_EQ(ch(c.expected).Status(), ChannelStatus::Play);
            EXPECT_EQ(ch(c.expected).Fader().Value(), 1.0);
            EXPECT_EQ(ch(c.onAir).Fader().Value(), 0.0);
        }
    }
}

TEST_F(PlayerSwitching, SilenceEndsWhenTheChannelOnAirRecovers) {
    addChannels(2);
    start();
    untilPlaying({0});
    press(1);
    quiet = {1};
    run(1500);
    ASSERT_TRUE(player->SilenceState());
    quiet.clear();
    run(1000);
    EXPECT_FALSE(player->SilenceState());
    EXPECT_EQ(view.silenceStates, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(studio.notes, (std::vector<Note>{{kNoteSilence, 1}, {kNoteOnline, 1}}));
    EXPECT_EQ(player->OnAirIndex(), 1);
}

TEST_F(PlayerSwitching, PressedChannelTakesTheAirOnceItPlaysAndSetsTheRestoreFloor) {
    struct Case {
        const char* name;
        int mode;
        int floor;
    };
    for (const Case& c : {Case{"subordination", kSubordination, 1}, Case{"cycle", kCycle, 0}}) {
        SCOPED_TRACE(c.name);
        fresh();
        addChannels(3);
        config.settings.SwitchMode = c.mode;
        start();
        untilPlaying({0});

        player->ChannelPressPlayBtn(1);
        EXPECT_EQ(player->PressedChannel(), 1);
        EXPECT_EQ(player->RestoreFloor(), c.floor);
        EXPECT_EQ(player->OnAirIndex(), 0) << "nothing changes until it plays";
        EXPECT_EQ(ch(0).Status(), ChannelStatus::Play);
        untilPlaying({1});
        EXPECT_EQ(player->OnAirIndex(), 1);
        EXPECT_EQ(player->PressedChannel(), -1);
        EXPECT_EQ(ch(0).Status(), ChannelStatus::Stop) << "faded out and stopped";
        EXPECT_EQ(volumeOf(1), 1.0f);

        // Channel 1 started by hand falls silent and recovers: below the floor
        // in subordination, and in cycle mode the channel on air plays.
        ch(0).SBLookClick();
        untilPlaying({0});
        quiet = {0};
        run(1500);
        ASSERT_EQ(ch(0).InChild(), kChildSilence);
        quiet.clear();
        run(1000);
        EXPECT_EQ(ch(0).InChild(), 0);
        EXPECT_EQ(player->OnAirIndex(), 1);
        EXPECT_EQ(volumeOf(0), 0.0f) << "it stays unheard";

        // Pressing a running channel switches at once.
        player->ChannelPressPlayBtn(0);
        EXPECT_EQ(player->OnAirIndex(), 0);
        EXPECT_EQ(ch(1).Status(), ChannelStatus::Stop);
        EXPECT_EQ(volumeOf(0), 1.0f);
        player->ChannelPressPlayBtn(0);  // the channel on air: nothing
        EXPECT_EQ(player->PressedChannel(), -1);
    }
}

TEST_F(PlayerSwitching, FadingStopRampsTheVolumeThenStopsEverything) {
    addChannels(2);
    addChannels(1, true);
    config.settings.FadeOut = 1.0;
    start();
    untilPlaying({0, 2});

    player->MainStop(true, false);
    EXPECT_TRUE(player->Playing());
    FakeClock::advanceMs(500);
    player->MainFader()->Tick();
    EXPECT_NEAR(player->VolumePosition(), 50, 1);
    EXPECT_EQ(player->MainVolume(), player->VolumePosition());
    EXPECT_NEAR(volumeOf(0), 0.5f, 0.011f);
    EXPECT_TRUE(player->Playing());

    FakeClock::advanceMs(600);
    player->MainFader()->Tick();
    EXPECT_FALSE(player->Playing());
    EXPECT_EQ(player->VolumePosition(), 0);
    EXPECT_EQ(statuses(), (std::vector<ChannelStatus>(3, ChannelStatus::Stop)));
    EXPECT_EQ(player->OnAirIndex(), 0);

    // A start during a fading stop cancels the stop.
    player->MainPlay(true);
    untilPlaying({0});
    player->MainStop(true, true);
    EXPECT_EQ(view.progressClosed, 1);
    FakeClock::advanceMs(300);
    player->MainFader()->Tick();
    player->MainPlay(true);
    EXPECT_EQ(player->VolumePosition(), 100);
    FakeClock::advanceMs(2000);
    player->MainFader()->Tick();
    EXPECT_TRUE(player->Playing());
    EXPECT_EQ(ch(0).Status(), ChannelStatus::Play);

    // Without a FadeOut the fading stop ends at once.
    player->configuration().settings.FadeOut = 0;
    player->MainStop(true, false);
    EXPECT_FALSE(player->Playing());
}

TEST_F(PlayerSwitching, StopClearsTheControllerAndTheNextStartBeginsWithTheFirstChannel) {
    addChannels(3);
    start();
    untilPlaying({0});
    press(2);
    quiet = {2};
    run(1500);
    ASSERT_TRUE(player->SilenceState());
    player->ChannelPressPlayBtn(1);
    ASSERT_EQ(player->PressedChannel(), 1);

    player->SBPlayStopClick();
    EXPECT_FALSE(player->Playing());
    EXPECT_EQ(view.playStates.back(), false);
    EXPECT_EQ(statuses(), (std::vector<ChannelStatus>(3, ChannelStatus::Stop)));
    EXPECT_EQ(player->OnAirIndex(), 0);
    EXPECT_EQ(player->PressedChannel(), -1);
    EXPECT_EQ(player->RestoreFloor(), 0);
    EXPECT_FALSE(player->SilenceState());
    EXPECT_EQ(view.silenceStates.back(), false) << "the window stops showing a past silence";
    EXPECT_EQ(studio.notes, (std::vector<Note>{{kNoteSilence, 2}})) << "the studio is not told";

    quiet.clear();
    player->SBPlayStopClick();
    untilPlaying({0});
    EXPECT_EQ(player->OnAirIndex(), 0);
    EXPECT_EQ(ch(2).Status(), ChannelStatus::Stop);
}

TEST_F(PlayerSwitching, RunOnChangeThatIsNoProgramGoesToTheDesktopOpener) {
    opener = script(QStringLiteral("opener.sh"), QStringLiteral("open"));
    dir.write(QStringLiteral("notes.txt"), "not a program");
    addChannels(2);
    config.settings.RunOnChange = dir.file(QStringLiteral("notes.txt"));
    start();
    untilPlaying({0});
    quiet = {0};
    run(1500);
    ASSERT_EQ(player->OnAirIndex(), 1);
    EXPECT_EQ(scriptLines(1), QStringList{QStringLiteral("open ") + dir.file("notes.txt")});
}

TEST_F(PlayerSwitching, SettingsChangeRebuildsChannelsWithoutInterruptingTheOthers) {
    addChannels(4);
    std::function<void(Configuration&)> edit;
    extraHooks.showSettingsDialog = [&] { edit(player->configuration()); };
    start();
    untilPlaying({0});
    for (int i : {1, 3}) {
        ch(i).SBLookClick();
    }
    untilPlaying({1, 3});
    const auto s0 = ch(0).Stream(), s1 = ch(1).Stream(), s3 = ch(3).Stream();

    edit = [](Configuration& c) {
        c.channels[0]->Amp = 60;
        c.channels[1]->URL = QStringLiteral("http://radio.invalid/moved");
        c.channels.removeLast();
    };
    player->SBSettingClick();
    ASSERT_EQ(player->ChannelCount(), 3);
    EXPECT_EQ(view.pages.size(), 3u);
    EXPECT_FALSE(engine.exists(s3)) << "the removed channel freed its stream";
    EXPECT_EQ(ch(0).Stream(), s0) << "a new amplification does not interrupt";
    EXPECT_EQ(ch(0).Status(), ChannelStatus::Play);
    EXPECT_NEAR(ch(0).AmpGain(), TfrChannelForm::CalcAmplifier(6.0), 1e-12);
    EXPECT_EQ(ch(1).Status(), ChannelStatus::Connect) << "a new address restarts";
    EXPECT_FALSE(engine.exists(s1));
    untilPlaying({0, 1});
    const auto opened = engine.opened();
    EXPECT_EQ(opened.back().url, "http://radio.invalid/moved");

    edit = [](Configuration& c) {
        auto always = std::make_shared<ChannelSettings>();
        always->URL = QStringLiteral("http://radio.invalid/always");
        always->Always = true;
        c.channels.append(always);
        auto plain = std::make_shared<ChannelSettings>();
        plain->URL = QStringLiteral("http://radio.invalid/plain");
        c.channels.append(plain);
    };
    player->SBSettingClick();
    ASSERT_EQ(player->ChannelCount(), 5);
    EXPECT_EQ(view.pages.size(), 5u);
    EXPECT_EQ(statuses()[3], ChannelStatus::Connect) << "a new Always channel starts";
    EXPECT_EQ(statuses()[4], ChannelStatus::Stop);
    EXPECT_EQ(player->OnAirIndex(), 0);
    untilPlaying({0, 1, 3});

    // The channel on air is removed while playing: the first one takes the air.
    press(4);
    edit = [](Configuration& c) { c.channels.resize(3); };
    player->SBSettingClick();
    untilPlaying({0});
    EXPECT_EQ(player->OnAirIndex(), 0);
    EXPECT_EQ(volumeOf(0), 1.0f);
    EXPECT_TRUE(player->Playing());

    // Stopped, every channel removed and one added again: it can be started.
    player->SBPlayStopClick();
    edit = [](Configuration& c) { c.channels.clear(); };
    player->SBSettingClick();
    EXPECT_EQ(player->OnAirIndex(), -1);
    EXPECT_TRUE(view.pages.empty());
    edit = [](Configuration& c) {
        auto one = std::make_shared<ChannelSettings>();
        one->URL = QStringLiteral("http://radio.invalid/again");
        c.channels.append(one);
    };
    player->SBSettingClick();
    player->SBPlayStopClick();
    EXPECT_TRUE(player->Playing());
    untilPlaying({0});
}

// A termination signal while the settings dialog is open: the dialog closes
// without applying, the player shuts down, and nothing starts channels again
// when the dialog's call returns.
TEST_F(PlayerSwitching, ShutdownWhileTheSettingsDialogIsOpenClosesItAndRestartsNothing) {
    addChannels(2);
    bool dialogClosed = false;
    extraHooks.showSettingsDialog = [&] {
        player->configuration().channels[1]->URL = QStringLiteral("http://radio.invalid/new");
        player->WMSystem_Shutdown_Query();
    };
    extraHooks.closeSettingsDialog = [&] { dialogClosed = true; };
    start();
    untilPlaying({0});
    const int translations = view.languageChanges;
    player->SBSettingClick();
    EXPECT_TRUE(dialogClosed);
    EXPECT_EQ(view.languageChanges, translations) << "nothing is re-applied after the dialog";
    EXPECT_TRUE(player->Closed());
    EXPECT_EQ(player->ChannelCount(), 0) << "no channel page rebuilt after the shutdown";
    EXPECT_FALSE(player->Playing());
}

TEST_F(PlayerSwitching, OnAirIndexPastTheEndIsTolerated) {
    addChannels(2);
    start();
    untilPlaying({0});
    player->OnVolumeMoved(60);
    EXPECT_EQ(player->MainVolume(), 60);
    EXPECT_NEAR(volumeOf(0), 0.6f, 1e-6);

    player->SetOnAirIndex(5);
    player->OnVolumeMoved(30);
    player->PlayChild(5);
    player->StopChild(5);
    player->ChannelPressPlayBtn(5);
    player->OnPlayChannel(5);
    player->ChangeActiveChannel();
    tick();
    EXPECT_EQ(player->MainVolume(), 30);
    EXPECT_EQ(view.left, -90);
    EXPECT_EQ(player->PressedChannel(), -1);
    player->MainStop(false, false);
    player->SetOnAirIndex(5);
    player->MainPlay(true);
    EXPECT_FALSE(player->Playing());
}

}  // namespace
}  // namespace qvm::test
