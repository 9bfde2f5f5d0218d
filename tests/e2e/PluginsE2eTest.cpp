// The real player with DSP plug-ins from its settings: what they do is heard
// in the captured mix.
#include <gtest/gtest.h>

#include <QFile>
#include <chrono>

#include "e2e/E2eSupport.h"
#include "e2e/PlayerProcess.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;

constexpr double kHz = 440.0;
constexpr double kLongTone = 3600.0;
constexpr auto kCaptureBound = 30s;
constexpr auto kExitBound = 10s;

class PluginsE2e : public ::testing::Test {
  protected:
    void SetUp() override { QVM_E2E_SKIP_UNDER_TSAN(); }
    void TearDown() override {
        if (player.running()) {
            EXPECT_TRUE(player.terminate(kExitBound));
        }
    }
    // Starts the player on one stream with `plugins` chained in this order.
    void start(const StreamServer& server, const QStringList& plugins) {
        PlayerConfig config;
        config.urls = {QString::fromStdString(server.url("/tone.mp3"))};
        QString ini =
            PlayerIni(config) +
            QStringLiteral("[Plugins]\nPath=%1/\n").arg(QStringLiteral(QVM_TEST_PLUGIN_DIR));
        for (int i = 0; i < plugins.size(); ++i) {
            ini += QStringLiteral("File%1=%2\n").arg(i + 1).arg(plugins[i]);
        }
        player.writeIni(ini);
        ASSERT_TRUE(player.start()) << player.output().toStdString();
    }
    // The tone's level from 1.5 s to 3.5 s of the capture, after the fade-in.
    double toneLevelDb() const {
        const auto wav = player.waitForCapture([](const WavData& w) { return w.seconds() >= 3.6; },
                                               kCaptureBound);
        if (!wav || wav->seconds() < 3.6) {
            ADD_FAILURE() << "no capture of 3.6 s\n" << player.output().toStdString();
            return 0.0;
        }
        return MaxToneLevelDb(*wav, kHz, 1.5, 3.5);
    }

    TempDir dir;
    PlayerProcess player{dir.path()};
};

// A missing plug-in before it does not keep the gain from loading; the gain
// gets the stream's own format (22.05 kHz mono) and halves what is heard.
TEST_F(PluginsE2e, GainPluginIsHeardWithTheStreamsOwnFormat) {
    StreamServer server;
    MountSpec mono = Mount({Tone{kHz, kLongTone, 0.5}});
    mono.sampleRate = 22050;
    mono.channels = 1;
    mono.bitrateKbps = 64;
    server.addMount("/tone.mp3", mono);
    const QString log = dir.file(QStringLiteral("plugin.log"));
    player.setEnv(QStringLiteral("QVM_TEST_PLUGIN_LOG"), log);
    start(server, {QStringLiteral("dsp_absent.so"), QStringLiteral("dsp_gain.so")});

    // 0.5 of full scale is -6 dBFS; halved, -12.
    EXPECT_NEAR(toneLevelDb(), -12.0, 1.0);
    ASSERT_TRUE(player.terminate(kExitBound));
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << player.output().toStdString();
    EXPECT_EQ(QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
              (QStringList{"header", "module0", "init", "process:22050:1:16", "quit"}));
    const QStringList lines = ReadLogLines(dir.path());
    EXPECT_EQ(lines.filter(QStringLiteral("DSP plug-in not loaded: dsp_absent.so (")).size(), 1)
        << lines.join(QLatin1Char('\n')).toStdString();
}

// A plug-in that takes 300 ms over one block delays that block and no more:
// the mixer catches up and the stream's buffer covers the wait, so the air
// has no hole.
TEST_F(PluginsE2e, ASlowPluginCostsOnlyItsOwnBlock) {
    StreamServer server;
    server.addMount("/tone.mp3", Mount({Tone{kHz, kLongTone, 0.5}}));
    const QString log = dir.file(QStringLiteral("plugin.log"));
    player.setEnv(QStringLiteral("QVM_TEST_PLUGIN_LOG"), log);
    player.setEnv(QStringLiteral("QVM_TEST_PLUGIN_STALL_MS"), QStringLiteral("300"));
    start(server, {QStringLiteral("dsp_gain.so")});

    const auto wav =
        player.waitForCapture([](const WavData& w) { return w.seconds() >= 6.0; }, kCaptureBound);
    ASSERT_TRUE(wav && wav->seconds() >= 6.0) << player.output().toStdString();
    ASSERT_TRUE(player.terminate(kExitBound));
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("stalled\n")) << "the slow block came";
    int quiet = 0;
    for (const WindowStats& w : AnalyseWindows(*wav, 0.01)) {
        if (w.start >= 1.0 && w.start < 5.9 && w.rmsDb < -30.0) {
            ++quiet;
        }
    }
    EXPECT_EQ(quiet, 0) << "10 ms windows without the tone";
}

// The limiter from Debian's swh-plugins, with the limit kept from an earlier
// run in its file beside the settings, holds a tone near full scale at -12 dB.
TEST_F(PluginsE2e, LadspaLimiterKeepsItsStoredLimit) {
    StreamServer server;
    server.addMount("/tone.mp3", Mount({Tone{kHz, kLongTone, 0.95}}));
    const QString limiter = QStringLiteral("fast_lookahead_limiter_1913.so:fastLookaheadLimiter");
    QFile controls(dir.file(QStringLiteral("QVMirelta.ladspa.ini")));
    ASSERT_TRUE(controls.open(QIODevice::WriteOnly));
    controls.write("[" + limiter.toUtf8() + "]\nLimit (dB)=-12\n");
    controls.close();
    start(server, {limiter});

    const double level = toneLevelDb();
    EXPECT_LE(level, -11.5);
    EXPECT_GE(level, -13.5);
}

}  // namespace
}  // namespace qvm::test
