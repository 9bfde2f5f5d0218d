// The real player against what months of unattended running bring: a dead
// name server, a hand-edited settings file, hostile servers.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <chrono>
#include <thread>

#include "e2e/E2eSupport.h"
#include "e2e/PlayerProcess.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;

constexpr double kProgrammeHz = 440.0;
constexpr double kBackupHz = 660.0;
constexpr double kLongTone = 3600.0;
constexpr double kSwitchTolerance = 0.3;

class HardeningE2e : public ::testing::Test {
  protected:
    void SetUp() override { QVM_E2E_SKIP_UNDER_TSAN(); }
    void TearDown() override {
        if (player.running()) {
            EXPECT_TRUE(player.terminate(10s));
        }
    }

    TempDir dir;
    PlayerProcess player{dir.path()};
};

// A name server that never answers, met behind a redirect: the player still
// ends at once on SIGTERM, though the lookup it started never returns.
TEST_F(HardeningE2e, HangingNameServerHoldsNoShutdown) {
    StreamServer server;
    server.addRedirect("/redirect",
                       "http://dead-dns.invalid:" + std::to_string(server.port()) + "/a.mp3");
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/redirect"))};
    config.timeOut = 30.0;
    player.writeIni(PlayerIni(config));
    const QString mark = dir.file(QStringLiteral("lookups.txt"));
    player.setEnv(QStringLiteral("LD_PRELOAD"), QStringLiteral(QVM_HANGING_RESOLVER));
    player.setEnv(QStringLiteral("QVM_RESOLVER_MARK"), mark);
    // The shim is not built with the sanitizer's runtime first in line.
    player.setEnv(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("verify_asan_link_order=0"));
    ASSERT_TRUE(player.start());
    ASSERT_TRUE(WaitUntil([&] { return !ReadLines(mark).isEmpty(); }, 30s))
        << "the player never asked the name server\n"
        << player.output().toStdString();
    EXPECT_EQ(ReadLines(mark).first(), QStringLiteral("dead-dns.invalid"));
    QElapsedTimer stopping;
    stopping.start();
    EXPECT_TRUE(player.terminate(1s));
    std::printf("ended %lld ms after SIGTERM while a lookup hung\n",
                static_cast<long long>(stopping.elapsed()));
}

// The settings file may ask for a studio delay far longer than the channel
// queues hold (the dialog offers up to 2000 ms): the silence switch must
// still come SilenceTime after the silence reaches the detector, which the
// delay, capped at 2000 ms, puts off.
TEST_F(HardeningE2e, LongStudioDelayDoesNotSlowTheSilenceSwitch) {
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{kProgrammeHz, 5.0, 0.5}, Silence{kLongTone}}));
    server.addMount("/b.mp3", Mount({Tone{kBackupHz, kLongTone, 0.5}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3")),
                   QString::fromStdString(server.url("/b.mp3"))};
    config.delay = 10000;
    player.writeIni(PlayerIni(config));
    ASSERT_TRUE(player.start());
    const auto silentAt = WaitForChange(player, kProgrammeHz, 0, 0, 30s);
    ASSERT_TRUE(silentAt) << player.output().toStdString();
    const auto backupAt = WaitForChange(player, 0, kBackupHz, *silentAt, 20s);
    ASSERT_TRUE(backupAt) << "the backup never took the air";
    const double delay = *backupAt - *silentAt;
    RecordProperty("switch_delay_ms", static_cast<int>(delay * 1000));
    EXPECT_NEAR(delay, 2.0 + config.silenceTime, kSwitchTolerance);
}

// A settings file that exists but cannot be read: the player says so, runs
// without it, and leaves it as it was.
TEST_F(HardeningE2e, UnreadableSettingsFileIsToldAndKept) {
    const QByteArray station =
        "[Setting]\nDevice=Null output\nSourceMode=1\n[Channels]\nURL1=http://radio.example/\n; " +
        QByteArray(2 * 1024 * 1024, 'x') + "\n";
    QFile ini(dir.file(QStringLiteral("QVMirelta.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ASSERT_EQ(ini.write(station), station.size());
    ini.close();
    const QByteArray before = QCryptographicHash::hash(station, QCryptographicHash::Sha1);

    ASSERT_TRUE(player.start());
    EXPECT_TRUE(
        WaitUntil([&] { return player.output().contains(QStringLiteral("cannot be read")); }, 10s))
        << player.output().toStdString();
    EXPECT_TRUE(player.output().contains(dir.file(QStringLiteral("QVMirelta.ini"))));
    // It runs on, with default settings (waiting for a device named ""), and
    // has its signal handlers in place soon after its start.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(player.running());
    EXPECT_TRUE(player.terminate(10s));
    QFile after(dir.file(QStringLiteral("QVMirelta.ini")));
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(QCryptographicHash::hash(after.readAll(), QCryptographicHash::Sha1), before);
}

}  // namespace
}  // namespace qvm::test
