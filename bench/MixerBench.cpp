// The mixer's own work per device period, without waking up: N streams of
// 44.1 kHz stereo mixed to a 48 kHz device, heard (resampled) or unheard
// (volume 0, taken and metered only). Figures in docs/performance.md.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/Mixer.h"

namespace {

using qvm::audio::MixChannel;
using qvm::audio::Mixer;

constexpr std::uint32_t kStreamRate = 44100;
constexpr std::uint32_t kDeviceRate = 48000;
constexpr std::uint32_t kPeriod = kDeviceRate / 50;
constexpr std::size_t kRingSeconds = 10;

std::vector<std::int16_t> tone(double seconds) {
    const auto frames = static_cast<std::size_t>(kStreamRate * seconds);
    std::vector<std::int16_t> out(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int16_t>(
            16000.0 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / kStreamRate));
        out[2 * i] = out[2 * i + 1] = v;
    }
    return out;
}

void mixPeriods(benchmark::State& state) {
    const auto streams = static_cast<std::size_t>(state.range(0));
    const bool heard = state.range(1) != 0;
    const auto periods = static_cast<std::uint32_t>(state.range(2));
    const std::vector<std::int16_t> pcm = tone(kRingSeconds);
    const std::size_t pcmBytes = pcm.size() * 2;
    Mixer mixer(kDeviceRate, kPeriod);
    std::vector<std::unique_ptr<MixChannel>> channels;
    for (std::size_t i = 0; i < streams; ++i) {
        // Live streams: their drift control runs as on air.
        auto ch = std::make_unique<MixChannel>(static_cast<qvm::audio::StreamHandle>(i + 1),
                                               kStreamRate, 2, pcmBytes);
        ch->volume.store(heard ? 0.1f : 0.0f);
        mixer.add(ch.get());
        channels.push_back(std::move(ch));
    }
    std::vector<std::int16_t> out(std::size_t{kPeriod} * 2 * periods);
    for (auto _ : state) {
        if (channels.front()->ring.readable() < pcmBytes / 10) {
            state.PauseTiming();
            for (auto& ch : channels) {
                // The ring holds more than the buffer (headroom above it).
                ch->ring.write(pcm.data(), std::min(ch->ring.writable(), pcmBytes) / 4 * 4);
            }
            state.ResumeTiming();
        }
        mixer.mix(out.data(), periods);
        benchmark::DoNotOptimize(out.data());
    }
    // Seconds per stream and 20 ms period, whatever the periods per call.
    state.counters["per_stream_period"] =
        benchmark::Counter(static_cast<double>(state.iterations() * periods * streams),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(mixPeriods)
    ->ArgNames({"streams", "heard", "periods"})
    ->Args({1, 1, 1})
    ->Args({1, 1, 5})
    ->Args({16, 1, 5})
    ->Args({16, 0, 5})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
