// The real player on real streams: which stream is heard, and when, read from
// its captured mix.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <chrono>
#include <cmath>

#include "e2e/E2eSupport.h"
#include "e2e/PlayerProcess.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;

constexpr double kProgrammeHz = 440.0;
constexpr double kBackupHz = 660.0;
constexpr double kAmplitude = 0.5;
constexpr double kLongTone = 3600.0;
// How far a switch may land from where the detector's times put it: one
// main-loop tick, one mixer period and the analysis window, with room for a
// loaded machine.
constexpr double kSwitchTolerance = 0.2;
// Bounds on waiting for what the player does; only failures wait this long.
constexpr auto kStartBound = 30s;
constexpr auto kStepBound = 20s;
constexpr auto kExitBound = 10s;

class SwitchingE2e : public ::testing::Test {
  protected:
    void SetUp() override { QVM_E2E_SKIP_UNDER_TSAN(); }
    void startPlayer(const PlayerConfig& config) {
        player.writeIni(PlayerIni(config));
        ASSERT_TRUE(player.start()) << player.output().toStdString();
    }
    QString events() const { return dir.file(QStringLiteral("events.txt")); }
    void useHooks(PlayerConfig& config) const {
        config.runOnChange = WriteAppendScript(dir.path(), QStringLiteral("change.sh"),
                                               QStringLiteral("change"), events());
        config.runOnRestore = WriteAppendScript(dir.path(), QStringLiteral("restore.sh"),
                                                QStringLiteral("restore"), events());
    }
    void TearDown() override {
        if (player.running()) {
            EXPECT_TRUE(player.terminate(kExitBound));
        }
    }

    TempDir dir;
    PlayerProcess player{dir.path()};
};

// Subordination: the programme falls silent, the backup takes the air after
// SilenceTime of silence and RunOnChange is run; the programme's sound
// returns, and after RestoreTime it has the air again and RunOnRestore is run.
TEST_F(SwitchingE2e, SilenceHandsTheAirToTheBackupAndBack) {
    StreamServer server;
    const double silenceSeconds = 4.0;
    server.addMount("/a.mp3", Mount({Tone{kProgrammeHz, 4.0, kAmplitude}, Silence{silenceSeconds},
                                     Tone{kProgrammeHz, kLongTone, kAmplitude}}));
    server.addMount("/b.mp3", Mount({Tone{kBackupHz, kLongTone, kAmplitude}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3")),
                   QString::fromStdString(server.url("/b.mp3"))};
    useHooks(config);
    startPlayer(config);

    const auto silentAt = WaitForChange(player, kProgrammeHz, 0, 0, kStartBound);
    ASSERT_TRUE(silentAt) << "the programme was never heard, then silent\n"
                          << player.output().toStdString();
    const auto backupAt = WaitForChange(player, 0, kBackupHz, *silentAt, kStepBound);
    ASSERT_TRUE(backupAt) << "the backup never took the air";
    const double switchDelay = *backupAt - *silentAt;
    RecordProperty("switch_delay_ms", static_cast<int>(switchDelay * 1000));
    EXPECT_NEAR(switchDelay, config.silenceTime, kSwitchTolerance);
    // The backup comes in on a linear ramp of ChFadeIn: half way at half time,
    // full after it.
    const auto heard = player.waitForCapture(
        [&](const WavData& wav) { return wav.seconds() > *backupAt + config.chFadeIn + 0.3; },
        kStepBound);
    ASSERT_TRUE(heard);
    const auto levelAt = [&](double t) {
        return ToneLevelDb(heard->channel(-1, t - 0.025, t + 0.025), heard->sampleRate, kBackupHz);
    };
    const double fullDb = 20.0 * std::log10(kAmplitude);
    const double halfWayDb = levelAt(*backupAt + config.chFadeIn / 2);
    EXPECT_NEAR(halfWayDb, fullDb - 6.02, 2.0);
    EXPECT_NEAR(levelAt(*backupAt + config.chFadeIn + 0.2), fullDb, 1.0);
    EXPECT_TRUE(
        WaitUntil([&] { return ReadLines(events()).contains(QStringLiteral("change")); }, 5s))
        << "RunOnChange was not run on the switch";

    const auto backAt = WaitForChange(player, kBackupHz, kProgrammeHz, *backupAt, kStepBound);
    ASSERT_TRUE(backAt) << "the programme never took the air back";
    // The programme kept playing unheard, so its own stream time maps onto the
    // capture through the silence onset found there.
    ASSERT_EQ(server.connectionCount("/a.mp3"), 1) << "the programme reconnected";
    const auto silenceStep = StepStreamSeconds(server, "/a.mp3", 1);
    const auto soundStep = StepStreamSeconds(server, "/a.mp3", 2);
    ASSERT_TRUE(silenceStep && soundStep);
    const double soundBackAt = *silentAt + (*soundStep - *silenceStep);
    const double restoreDelay = *backAt - soundBackAt;
    RecordProperty("restore_delay_ms", static_cast<int>(restoreDelay * 1000));
    EXPECT_NEAR(restoreDelay, config.restoreTime, kSwitchTolerance);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadLines(events()) ==
                   QStringList{QStringLiteral("change"), QStringLiteral("restore")};
        },
        5s))
        << "hooks run: " << ReadLines(events()).join(QLatin1Char(',')).toStdString();
    std::printf(
        "silence: switch after %.3f s (SilenceTime %.1f), fade half way at %.2f dB "
        "(full %.2f dB), back %.3f s after the sound returned (RestoreTime %.1f)\n",
        switchDelay, config.silenceTime, halfWayDb, fullDb, restoreDelay, config.restoreTime);
}

// A dropped connection that cannot be re-made: after BreakTime of trying the
// backup takes the air; once the programme plays again for ConnectTime it has
// the air back. Silence switching is off so that only the break can switch.
TEST_F(SwitchingE2e, BrokenConnectionHandsTheAirToTheBackupAndBack) {
    StreamServer programme;
    StreamServer backup;
    MountSpec a = Mount({Tone{kProgrammeHz, kLongTone, kAmplitude}});
    a.firstConnections = {{Tone{kProgrammeHz, 4.0, kAmplitude}, Disconnect{}}};
    programme.addMount("/a.mp3", a);
    backup.addMount("/b.mp3", Mount({Tone{kBackupHz, kLongTone, kAmplitude}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(programme.url("/a.mp3")),
                   QString::fromStdString(backup.url("/b.mp3"))};
    config.switchBy = 2;
    startPlayer(config);

    ASSERT_TRUE(programme.waitForStep("/a.mp3", 1, kStartBound));
    programme.setMode(ServerMode::Refuse);
    const auto goneAt = WaitForChange(player, kProgrammeHz, 0, 0, kStepBound);
    ASSERT_TRUE(goneAt) << "the programme was never heard, then gone\n"
                        << player.output().toStdString();
    const auto backupAt = WaitForChange(player, 0, kBackupHz, *goneAt, kStepBound);
    ASSERT_TRUE(backupAt) << "the backup never took the air";
    const double switchDelay = *backupAt - *goneAt;
    RecordProperty("break_switch_delay_ms", static_cast<int>(switchDelay * 1000));
    // Break timing starts when the player gives up on its draining buffer and
    // reconnects: 100 ms after it ran dry, or 1 s after it fell to 5 % or less
    // (the usual case: the 1 s watchdog is armed first and is not shortened).
    EXPECT_GE(switchDelay, config.breakTime - kSwitchTolerance);
    EXPECT_LE(switchDelay, config.breakTime + 1.0 + kSwitchTolerance);

    programme.setMode(ServerMode::Serve);
    const auto backAt = WaitForChange(player, kBackupHz, kProgrammeHz, *backupAt, 40s);
    ASSERT_TRUE(backAt) << "the programme never took the air back";
    EXPECT_GE(*backAt - *backupAt, config.connectTime)
        << "the break ended before the programme had played for ConnectTime";

    // The failed attempts were logged with the channel number.
    QStringList lines;
    QDirIterator logs(dir.file(QStringLiteral("Log")), {QStringLiteral("*.log")}, QDir::Files,
                      QDirIterator::Subdirectories);
    while (logs.hasNext()) {
        lines += ReadLines(logs.next());
    }
    // "<time of day> Ch 1: <error text>", once for the repeated failure.
    const QRegularExpression failure(QStringLiteral("^\\d{1,2}:\\d{2}:\\d{2}.* Ch 1: \\S"));
    EXPECT_EQ(lines.filter(failure).size(), 1)
        << "log: " << lines.join(QLatin1Char('|')).toStdString();
    std::printf("log: %s\n", qPrintable(lines.join(QLatin1String(" | "))));
    std::printf(
        "break: switch %.3f s after the last sound (BreakTime %.1f), back %.3f s after "
        "the switch (ConnectTime %.1f)\n",
        switchDelay, config.breakTime, *backAt - *backupAt, config.connectTime);
}

// Cycle mode: the failed programme hands over to the backup, and when it
// recovers it stays unheard while the backup plays; when the backup fails in
// turn, the air goes round to the programme again.
TEST_F(SwitchingE2e, CycleModeKeepsTheBackupOnAirAndWrapsAround) {
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{kProgrammeHz, 4.0, kAmplitude}, Silence{3.0},
                                     Tone{kProgrammeHz, kLongTone, kAmplitude}}));
    server.addMount("/b.mp3", Mount({Tone{kBackupHz, 12.0, kAmplitude}, Silence{kLongTone}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3")),
                   QString::fromStdString(server.url("/b.mp3"))};
    config.switchMode = 1;
    useHooks(config);
    startPlayer(config);

    const auto silentAt = WaitForChange(player, kProgrammeHz, 0, 0, kStartBound);
    ASSERT_TRUE(silentAt) << player.output().toStdString();
    const auto backupAt = WaitForChange(player, 0, kBackupHz, *silentAt, kStepBound);
    ASSERT_TRUE(backupAt);
    EXPECT_NEAR(*backupAt - *silentAt, config.silenceTime, kSwitchTolerance);

    const auto backupSilentAt = WaitForChange(player, kBackupHz, 0, *backupAt, kStepBound);
    ASSERT_TRUE(backupSilentAt);
    const auto silenceStep = StepStreamSeconds(server, "/a.mp3", 1);
    const auto soundStep = StepStreamSeconds(server, "/a.mp3", 2);
    ASSERT_TRUE(silenceStep && soundStep);
    const double programmeRestoredAt = *silentAt + (*soundStep - *silenceStep) + config.restoreTime;
    ASSERT_GT(*backupSilentAt, programmeRestoredAt + 1.0)
        << "the backup fell silent before the programme had recovered: nothing was tested";
    const auto heard = player.capture();
    ASSERT_TRUE(heard);
    EXPECT_LT(MaxToneLevelDb(*heard, kProgrammeHz, *backupAt + 0.1, *backupSilentAt), -40.0)
        << "the recovered programme took the air from a playing backup";

    const auto wrappedAt = WaitForChange(player, 0, kProgrammeHz, *backupSilentAt, kStepBound);
    ASSERT_TRUE(wrappedAt) << "the air did not go round to the programme";
    EXPECT_NEAR(*wrappedAt - *backupSilentAt, config.silenceTime, kSwitchTolerance);
    std::printf("cycle: switch after %.3f s, round to the first after %.3f s (SilenceTime %.1f)\n",
                *backupAt - *silentAt, *wrappedAt - *backupSilentAt, config.silenceTime);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadLines(events()) ==
                   QStringList{QStringLiteral("change"), QStringLiteral("change")};
        },
        5s))
        << "hooks run: " << ReadLines(events()).join(QLatin1Char(',')).toStdString();
}

// A backup that does not play always is connected only when it is needed,
// fades in once it plays, and is stopped when the programme takes the air
// back.
TEST_F(SwitchingE2e, BackupNotPlayingAlwaysIsStartedForTheSwitchAndStoppedAfter) {
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{kProgrammeHz, 4.0, kAmplitude}, Silence{4.0},
                                     Tone{kProgrammeHz, kLongTone, kAmplitude}}));
    server.addMount("/b.mp3", Mount({Tone{kBackupHz, kLongTone, kAmplitude}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3")),
                   QString::fromStdString(server.url("/b.mp3"))};
    config.always = {true, false};
    startPlayer(config);

    const auto silentAt = WaitForChange(player, kProgrammeHz, 0, 0, kStartBound);
    ASSERT_TRUE(silentAt) << player.output().toStdString();
    const auto backupAt = WaitForChange(player, 0, kBackupHz, *silentAt, kStepBound);
    ASSERT_TRUE(backupAt) << "the backup never took the air";
    // Detection, then a connection and a buffer fill from a local server.
    EXPECT_GE(*backupAt - *silentAt, config.silenceTime - kSwitchTolerance);
    EXPECT_LE(*backupAt - *silentAt, config.silenceTime + 3.0);
    const auto programme = server.lastConnection("/a.mp3");
    const auto backup = server.lastConnection("/b.mp3");
    ASSERT_TRUE(programme && backup);
    ASSERT_GE(programme->timeline.size(), 2u);
    EXPECT_GT(backup->acceptedAt, programme->timeline[1].sentAt)
        << "the backup was connected before the programme had even sent its silence";

    const auto backAt = WaitForChange(player, kBackupHz, kProgrammeHz, *backupAt, kStepBound);
    ASSERT_TRUE(backAt) << "the programme never took the air back";
    EXPECT_TRUE(server.waitForClosed("/b.mp3", 10s)) << "the backup was not stopped";
    EXPECT_EQ(server.connectionCount("/b.mp3"), 1);
    std::printf("backup started on demand: on air %.3f s after the silence (SilenceTime %.1f)\n",
                *backupAt - *silentAt, config.silenceTime);
}

// The last channel fails while no other can take over: the air stays silent,
// nothing is switched and no hook runs.
TEST_F(SwitchingE2e, LastChannelFailingLeavesTheAirSilent) {
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{kProgrammeHz, 3.0, kAmplitude}, Silence{kLongTone}}));
    server.addMount("/b.mp3", Mount({Tone{kBackupHz, 7.0, kAmplitude}, Silence{kLongTone}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3")),
                   QString::fromStdString(server.url("/b.mp3"))};
    useHooks(config);
    startPlayer(config);

    const auto silentAt = WaitForChange(player, kProgrammeHz, 0, 0, kStartBound);
    ASSERT_TRUE(silentAt) << player.output().toStdString();
    const auto backupAt = WaitForChange(player, 0, kBackupHz, *silentAt, kStepBound);
    ASSERT_TRUE(backupAt);
    const auto backupSilentAt = WaitForChange(player, kBackupHz, 0, *backupAt, kStepBound);
    ASSERT_TRUE(backupSilentAt);
    // Well past the backup's own detection time.
    const double watchUntil = *backupSilentAt + config.silenceTime + 3.0;
    const auto heard = player.waitForCapture(
        [&](const WavData& wav) { return wav.seconds() >= watchUntil; }, kStepBound);
    ASSERT_TRUE(heard && heard->seconds() >= watchUntil);
    EXPECT_LT(MaxRmsDb(*heard, *backupSilentAt + 0.05, watchUntil), -60.0)
        << "something was put on air after the last channel failed";
    EXPECT_EQ(ReadLines(events()), QStringList{QStringLiteral("change")})
        << "only the first switch runs RunOnChange";
}

}  // namespace
}  // namespace qvm::test
