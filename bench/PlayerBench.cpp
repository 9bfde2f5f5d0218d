// The main loop against its budget: NuclearWork runs every 10 ms on the UI
// thread and does everything of the player in between user actions.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "channel/Channel.h"
#include "config/SettingsFile.h"
#include "core/Player.h"
#include "core/TimeBase.h"
#include "lang/Language.h"
#include "support/FakeAudioEngine.h"

namespace {

using qvm::test::FakeAudioEngine;

// A studio link that takes every message and drops it.
struct DroppingStudio final : qvm::StudioSink {
    void Broadcast(std::uint16_t, std::uint16_t) override {}
    bool SendData(std::uint32_t, const QByteArray& bytes) override {
        benchmark::DoNotOptimize(bytes.constData());
        return true;
    }
};

// A started player with 16 channels playing on the scripted engine, the first
// on air, in interactive mode (every due block of the channel on air is built
// into a PcmData message).
struct SixteenChannelPlayer {
    QTemporaryDir dir;
    FakeAudioEngine engine;
    std::unique_ptr<qvm::Player> player;
    std::vector<std::int16_t> block = std::vector<std::int16_t>(1764, 1000);

    bool start() {
        qvm::Configuration config;
        config.settings.Device = QStringLiteral("Null output");
        config.settings.SourceMode = 3;
        config.settings.FadeIn = 0;
        for (int i = 0; i < 16; ++i) {
            auto ch = std::make_shared<qvm::ChannelSettings>();
            ch->URL = QStringLiteral("http://bench.invalid/%1").arg(i);
            ch->Amp = 30;
            config.channels.append(ch);
        }
        const QString folder = dir.path() + QLatin1Char('/');
        const QString ini = folder + QStringLiteral("QVMirelta.ini");
        if (!qvm::SaveSettings(config, ini)) {
            return false;
        }
        qvm::PlayerOptions options;
        options.iniPath = ini;
        options.exeFolder = folder;
        options.catchTermination = false;
        options.raisePriority = false;
        qvm::PlayerHooks hooks;
        hooks.createStudioLink = [] { return std::make_unique<DroppingStudio>(); };
        hooks.quit = [](int) {};
        player = std::make_unique<qvm::Player>(engine, std::make_unique<qvm::TLanguage>(folder),
                                               options, nullptr, hooks);
        if (!player->FormCreate() || !player->Playing()) {
            return false;
        }
        for (int i = 1; i < 16; ++i) {
            player->Channel(i).Play();
        }
        // Connect, wait for the attempts, buffer, play.
        for (int round = 0; round < 100000 && !allPlaying(); ++round) {
            player->NuclearWork();
            for (int i = 0; i < 16; ++i) {
                qvm::TfrChannelForm& ch = player->Channel(i);
                if (ch.Status() == qvm::ChannelStatus::Buffer && ch.Stream() != 0) {
                    engine.setFill(ch.Stream(), 170000, 176400);
                }
            }
        }
        return allPlaying();
    }

    bool allPlaying() {
        for (int i = 0; i < 16; ++i) {
            if (player->Channel(i).Status() != qvm::ChannelStatus::Play) {
                return false;
            }
        }
        return true;
    }

    // One tick; with `feed`, every channel's tap first gets one 20 ms block,
    // as the mixer delivers them every other tick.
    void tick(bool feed) {
        if (feed) {
            for (int i = 0; i < 16; ++i) {
                engine.feedDsp(player->Channel(i).Stream(), block);
            }
        }
        player->NuclearWork();
    }
};

void BM_NuclearWorkSixteenPlayingChannels(benchmark::State& state) {
    SixteenChannelPlayer s;
    if (!s.start()) {
        state.SkipWithError("the channels did not start playing");
        return;
    }
    bool feed = false;
    for (auto _ : state) {
        s.tick(feed);
        feed = !feed;
    }
    if (!s.allPlaying() || s.player->OnAirIndex() != 0) {
        state.SkipWithError("the player left its steady state");
    }
    state.counters["budget_ms"] = 10;
}
BENCHMARK(BM_NuclearWorkSixteenPlayingChannels)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);  // the faders and the main timer are Qt objects
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
