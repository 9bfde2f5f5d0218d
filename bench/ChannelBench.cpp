// Channel costs against their budgets: a main-loop tick runs every 10 ms and
// ticks every channel; the mixer calls each playing channel's tap once per
// 20 ms period.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <memory>
#include <vector>

#include "channel/Channel.h"
#include "channel/ChannelContext.h"
#include "channel/SampleTap.h"
#include "config/Settings.h"
#include "core/TimeBase.h"
#include "lang/Language.h"
#include "support/FakeAudioEngine.h"

namespace {

using qvm::test::FakeAudioEngine;

// 16 channels playing on the scripted engine, one of them on air, each fed one
// 20 ms block per two ticks as the mixer would.
struct SixteenChannels {
    FakeAudioEngine engine;
    qvm::PlayerSettings settings;
    qvm::TLanguage language{QStringLiteral("/nonexistent/")};
    qvm::ChannelContext ctx{engine, settings, language};
    std::vector<std::unique_ptr<qvm::TfrChannelForm>> channels;
    std::vector<std::int16_t> block = std::vector<std::int16_t>(1764, 1000);

    SixteenChannels() {
        ctx.onAirIndex = 0;
        for (int i = 0; i < 16; ++i) {
            auto ch = std::make_unique<qvm::TfrChannelForm>(ctx, i);
            qvm::ChannelSettings data;
            data.URL = QStringLiteral("http://bench.invalid/%1").arg(i);
            data.Amp = 30;
            ch->SetData(data);
            ch->Play();
            channels.push_back(std::move(ch));
        }
        // Connect, wait for the attempts, buffer, play.
        while (true) {
            bool pending = false;
            for (auto& ch : channels) {
                ch->Tick(static_cast<std::int64_t>(qvm::TickCount64()));
                pending =
                    pending || ch->ConnectPending() || ch->Status() == qvm::ChannelStatus::Connect;
            }
            if (!pending) {
                break;
            }
        }
        for (auto& ch : channels) {
            engine.setFill(ch->Stream(), 170000, 176400);
            ch->Tick(static_cast<std::int64_t>(qvm::TickCount64()));
        }
    }

    void tick(bool feed) {
        const auto now = static_cast<std::int64_t>(qvm::TickCount64());
        for (auto& ch : channels) {
            if (feed) {
                engine.feedDsp(ch->Stream(), block);
            }
            ch->Tick(now);
        }
        int slot = 0;
        while (ctx.mainQueue.Pop(now, &slot) != nullptr) {
            ctx.mainQueue.Release(slot);
        }
    }
};

void BM_TickSixteenPlayingChannels(benchmark::State& state) {
    SixteenChannels s;
    bool feed = false;
    for (auto _ : state) {
        s.tick(feed);
        feed = !feed;
    }
    for (auto& ch : s.channels) {
        if (ch->Status() != qvm::ChannelStatus::Play) {
            state.SkipWithError("a channel stopped playing");
        }
    }
    state.counters["budget_ms"] = 10;
}
BENCHMARK(BM_TickSixteenPlayingChannels)->Unit(benchmark::kMicrosecond);

// The tap alone on one mixer block (20 ms of 48 kHz stereo), with and without
// the amplifier, with the consumer keeping up.
void BM_SampleTapPerBlock(benchmark::State& state) {
    FakeAudioEngine engine;
    qvm::PlayerSettings settings;
    qvm::TLanguage language{QStringLiteral("/nonexistent/")};
    qvm::ChannelContext ctx{engine, settings, language};
    ctx.onAirIndex = 0;
    qvm::TStreamABuffer queue;
    queue.Init(qvm::kChannelQueueSlots);
    qvm::TapContext tap;
    tap.ctx = &ctx;
    tap.queue = &queue;
    tap.index = 0;
    tap.freq = 48000;
    tap.chans = 2;
    tap.ampGain = state.range(0) != 0 ? 1.4125 : 1.0;
    std::vector<std::int16_t> block(960 * 2, 12000);
    int slot = 0;
    for (auto _ : state) {
        qvm::SampleTap(1, 1, block.data(), static_cast<std::uint32_t>(block.size() * 2), &tap);
        if (queue.Pop(INT64_MAX, &slot) != nullptr) {
            queue.Release(slot);
        }
        benchmark::ClobberMemory();
    }
    state.counters["budget_ms"] = 20;
}
BENCHMARK(BM_SampleTapPerBlock)->Arg(0)->Arg(1)->Unit(benchmark::kNanosecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);  // the channel faders are Qt objects
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
