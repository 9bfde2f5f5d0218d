// The real player and the reference studio program, each a process of its
// own, on the studio link: notices, titles and the PCM of the channel on air
// reach the studio program, and its commands drive the player.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <chrono>

#include <sys/stat.h>

#include "e2e/E2eSupport.h"
#include "e2e/PlayerProcess.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;

constexpr double kHz = 440.0;

class StudioE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        QVM_E2E_SKIP_UNDER_TSAN();
        ASSERT_TRUE(QDir().mkpath(runtime));
        ::chmod(QFile::encodeName(runtime).constData(), 0700);
        player.setEnv(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    }
    void TearDown() override {
        if (player.running()) {
            EXPECT_TRUE(player.terminate(10s));
        }
    }
    // qvm-studio with these arguments, on the player's link.
    void startStudio(QProcess& studio, const QStringList& arguments) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        studio.setProcessEnvironment(env);
        studio.setProcessChannelMode(QProcess::MergedChannels);
        studio.start(QStringLiteral(QVM_E2E_BIN_DIR "/qvm-studio"), arguments);
        ASSERT_TRUE(studio.waitForStarted(5000));
    }
    // Runs a short qvm-studio to its end and returns what it printed.
    QString runStudio(const QStringList& arguments) const {
        QProcess studio;
        startStudio(studio, arguments);
        EXPECT_TRUE(studio.waitForFinished(15000));
        return QString::fromUtf8(studio.readAll());
    }

    TempDir dir;
    QString runtime = dir.path() + QStringLiteral("runtime");
    PlayerProcess player{dir.path()};
};

// One channel with no substitute: its silence is noticed once and its return
// too; its titles arrive; the studio program's WAV holds the stream as it
// came (the gain plug-in halves only what is heard); stop and play from the
// studio program act.
TEST_F(StudioE2e, StudioProgramHearsTheAirAndDrivesThePlayer) {
    StreamServer server;
    server.addMount("/programme.mp3",
                    Mount({Title{"Programme <1>"}, Tone{kHz, 8.0, 0.5}, Silence{5.0},
                           Title{"Programme <2>"}, Tone{kHz, kForever, 0.5}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/programme.mp3"))};
    QString ini = PlayerIni(config) + QStringLiteral("[Plugins]\nPath=%1/\nFile1=dsp_gain.so\n")
                                          .arg(QStringLiteral(QVM_TEST_PLUGIN_DIR));
    ini.replace(QStringLiteral("SourceMode=1\n"), QStringLiteral("SourceMode=3\nPID=7\n"));
    player.writeIni(ini);
    ASSERT_TRUE(player.start()) << player.output().toStdString();
    ASSERT_TRUE(WaitForChange(player, 0.0, kHz, 0.0, 20s)) << "the programme is heard";

    const QString wav = dir.file(QStringLiteral("studio.wav"));
    QProcess studio;
    startStudio(studio, {QStringLiteral("--wav"), wav, QStringLiteral("--seconds"),
                         QStringLiteral("18"), QStringLiteral("identify")});
    QString heard;
    const auto saw = [&](const QString& piece) {
        return WaitUntil(
            [&] {
                studio.waitForReadyRead(100);
                heard += QString::fromUtf8(studio.readAll());
                return heard.contains(piece);
            },
            20s);
    };
    EXPECT_TRUE(saw(QStringLiteral("sent 32767 32767, reply 7"))) << heard.toStdString();
    EXPECT_TRUE(saw(QStringLiteral("notice silence 0"))) << heard.toStdString();
    EXPECT_TRUE(saw(QStringLiteral("notice online 0"))) << heard.toStdString();
    EXPECT_TRUE(saw(QStringLiteral("title Programme <2>"))) << heard.toStdString();
    EXPECT_EQ(heard.count(QStringLiteral("notice silence")), 1)
        << "noticed once, not while it lasts";
    EXPECT_LT(heard.indexOf(QStringLiteral("notice silence")),
              heard.indexOf(QStringLiteral("notice online")));

    // A second studio program stops the relay, a third starts it again.
    EXPECT_TRUE(
        runStudio({QStringLiteral("--seconds"), QStringLiteral("1"), QStringLiteral("stop")})
            .contains(QStringLiteral("sent 1 0, reply 0")));
    const auto stopped = WaitForChange(player, kHz, 0.0, 0.0, 10s);
    EXPECT_TRUE(stopped) << "the relay went quiet";
    EXPECT_TRUE(
        runStudio({QStringLiteral("--seconds"), QStringLiteral("1"), QStringLiteral("play-fade")})
            .contains(QStringLiteral("sent 0 2, reply 0")));
    EXPECT_TRUE(WaitForChange(player, 0.0, kHz, stopped.value_or(0.0), 10s)) << "and plays again";

    ASSERT_TRUE(studio.waitForFinished(30000));
    heard += QString::fromUtf8(studio.readAll());
    EXPECT_TRUE(heard.contains(QStringLiteral("pcm 44100 Hz, 2 channel(s) -> ")))
        << heard.toStdString();
    std::string error;
    const auto received = ReadWav(wav.toStdString(), &error);
    ASSERT_TRUE(received) << error;
    ASSERT_GT(received->seconds(), 5.0);
    // The stream as it came: amplitude 0.5, about -6 dB, where the capture
    // (after the gain plug-in) holds it 6 dB lower.
    EXPECT_NEAR(MaxToneLevelDb(*received, kHz, 0.5, received->seconds() - 0.5), -6.0, 1.0);
    const auto capture = player.capture();
    ASSERT_TRUE(capture);
    EXPECT_NEAR(MaxToneLevelDb(*capture, kHz, 2.0, 6.0), -12.0, 1.0);
}

}  // namespace
}  // namespace qvm::test
