// The real player as a process: one copy per folder, clean ends on signals.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>
#include <thread>
#include <utility>

#include "e2e/E2eSupport.h"
#include "e2e/PlayerProcess.h"
#include "support/ChildProcess.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;

constexpr double kToneHz = 440.0;

// The data size the capture's header declares, and the data the file holds.
std::pair<quint32, qint64> CaptureSizes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {0, -1};
    }
    const QByteArray head = file.read(44);
    if (head.size() < 44 || !head.startsWith("RIFF") || head.mid(36, 4) != "data") {
        return {0, -1};
    }
    const auto* size = reinterpret_cast<const unsigned char*>(head.constData() + 40);
    const quint32 declared =
        size[0] | (size[1] << 8) | (size[2] << 16) | (static_cast<quint32>(size[3]) << 24);
    return {declared, file.size() - 44};
}

bool EndsWithTone(const WavData& wav, double minSeconds) {
    return wav.seconds() >= minSeconds &&
           ToneLevelDb(wav.channel(-1, wav.seconds() - 0.5), wav.sampleRate, kToneHz) > -20.0;
}

// A second copy started from the same folder leaves at once with code 0 and
// the first plays on; a copy in another folder is a player of its own. Both
// end cleanly on SIGTERM and SIGINT.
TEST(InstanceE2e, SecondCopyLeavesAndTheFirstPlaysOn) {
    QVM_E2E_SKIP_UNDER_TSAN();
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{kToneHz, 3600.0, 0.5}}));
    TempDir dir;
    PlayerProcess first(dir.path());
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3"))};
    first.writeIni(PlayerIni(config));
    ASSERT_TRUE(first.start());
    auto before =
        first.waitForCapture([](const WavData& wav) { return EndsWithTone(wav, 1.0); }, 30s);
    ASSERT_TRUE(before && EndsWithTone(*before, 1.0)) << first.output().toStdString();

    // The same executable, environment and capture path as the first copy.
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QVMIRELTA_CAPTURE_WAV"), first.capturePath());
    second.setProcessEnvironment(env);
    QElapsedTimer elapsed;
    elapsed.start();
    second.start(first.executable(), {});
    ASSERT_TRUE(second.waitForStarted(10000));
    ASSERT_TRUE(second.waitForFinished(3000)) << "the second copy kept running";
    const qint64 secondMs = elapsed.elapsed();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    RecordProperty("second_copy_ms", static_cast<int>(secondMs));

    ASSERT_TRUE(first.running());
    const double seenBefore = first.capture()->seconds();
    const auto after = first.waitForCapture(
        [&](const WavData& wav) { return EndsWithTone(wav, seenBefore + 2.0); }, 20s);
    ASSERT_TRUE(after);
    EXPECT_TRUE(EndsWithTone(*after, seenBefore + 2.0))
        << "the first copy's capture stopped growing or lost its tone at " << after->seconds()
        << " s";
    // The capture was never restarted: the start is still the start.
    EXPECT_GE(after->frames(), before->frames());

    // Another folder, another player: it is not refused.
    TempDir otherDir;
    PlayerProcess other(otherDir.path());
    other.writeIni(PlayerIni(PlayerConfig{}));
    ASSERT_TRUE(other.start());
    const auto otherCapture =
        other.waitForCapture([](const WavData& wav) { return wav.seconds() >= 1.0; }, 20s);
    EXPECT_TRUE(otherCapture && otherCapture->seconds() >= 1.0)
        << "the copy in another folder did not run: " << other.output().toStdString();
    EXPECT_TRUE(other.terminate(10s, SIGINT));

    QElapsedTimer stopping;
    stopping.start();
    EXPECT_TRUE(first.terminate(5s));
    // A clean end closes the output, which completes the capture's header.
    const auto [declared, held] = CaptureSizes(first.capturePath());
    EXPECT_GT(held, 0);
    EXPECT_EQ(static_cast<qint64>(declared), held);
    std::printf("second copy ended after %lld ms; first ended %lld ms after SIGTERM\n",
                static_cast<long long>(secondMs), static_cast<long long>(stopping.elapsed()));
}

// A copy of the player as another process of the same installation, with the
// environment PlayerProcess gives it.
void StartCopy(QProcess& process, const PlayerProcess& installation) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QVMIRELTA_CAPTURE_WAV"), installation.capturePath());
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(installation.folder());
    EndWithParent(process);
    process.start(installation.executable(), {});
}

// Updating the installation replaces the running binary's file: the running
// copy's /proc/<pid>/exe then reads "... (deleted)". A copy started from the
// new file is still the same installation and leaves.
TEST(InstanceE2e, ReplacedBinaryStillCountsAsTheSameInstallation) {
    QVM_E2E_SKIP_UNDER_TSAN();
    TempDir dir;
    PlayerProcess first(dir.path());
    first.writeIni(PlayerIni(PlayerConfig{}));
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.waitForCapture([](const WavData& wav) { return wav.seconds() >= 0.5; }, 30s))
        << first.output().toStdString();
    first.replaceExecutable();

    QProcess second;
    StartCopy(second, first);
    ASSERT_TRUE(second.waitForStarted(10000));
    EXPECT_TRUE(second.waitForFinished(8000)) << "a second player runs beside the first";
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(first.running());
    if (second.state() != QProcess::NotRunning) {
        second.kill();
        second.waitForFinished();
    }
    EXPECT_TRUE(first.terminate(10s));
}

// Two copies started at the same moment: exactly one of them runs, the other
// leaves with code 0.
TEST(InstanceE2e, SimultaneousStartsLeaveExactlyOne) {
    QVM_E2E_SKIP_UNDER_TSAN();
    TempDir dir;
    PlayerProcess installation(dir.path());
    installation.writeIni(PlayerIni(PlayerConfig{}));
    for (int round = 0; round < 3; ++round) {
        QProcess a;
        QProcess b;
        StartCopy(a, installation);
        StartCopy(b, installation);
        ASSERT_TRUE(a.waitForStarted(10000) && b.waitForStarted(10000));
        // The loser gives the winner's endpoint a few seconds to come up.
        QProcess* loser = nullptr;
        ASSERT_TRUE(WaitUntil(
            [&] {
                QCoreApplication::processEvents();
                loser = a.state() == QProcess::NotRunning   ? &a
                        : b.state() == QProcess::NotRunning ? &b
                                                            : nullptr;
                return loser != nullptr;
            },
            10s))
            << "round " << round << ": both copies kept running";
        QProcess* winner = loser == &a ? &b : &a;
        EXPECT_EQ(loser->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(loser->exitCode(), 0);
        // The winner stays: it is the installation's player.
        std::this_thread::sleep_for(1s);
        QCoreApplication::processEvents();
        EXPECT_EQ(winner->state(), QProcess::Running) << "round " << round << ": none runs";
        winner->terminate();
        EXPECT_TRUE(winner->waitForFinished(10000));
    }
}

// A termination signal while a connection attempt hangs on a server that
// never answers ends the player at once, not after the network time-out.
TEST(InstanceE2e, SignalDuringAHangingConnectionEndsPromptly) {
    QVM_E2E_SKIP_UNDER_TSAN();
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{kToneHz, 3600.0, 0.5}}));
    server.setMode(ServerMode::Hang);
    TempDir dir;
    PlayerProcess player(dir.path());
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3"))};
    config.timeOut = 30.0;
    player.writeIni(PlayerIni(config));
    ASSERT_TRUE(player.start());
    ASSERT_TRUE(server.waitForConnections("/a.mp3", 1, 30s)) << player.output().toStdString();
    QElapsedTimer stopping;
    stopping.start();
    EXPECT_TRUE(player.terminate(5s));
    std::printf("ended %lld ms after SIGTERM during a hanging connection (TimeOut %.0f s)\n",
                static_cast<long long>(stopping.elapsed()), config.timeOut);
}

}  // namespace
}  // namespace qvm::test
