// What lining up a new connection costs: looking for the old audio's newest
// tenth of a second in the server's connect burst, as the burst comes in
// packet by packet, and what keeping the newest second costs every stream all
// the time. Figures in docs/reliability.md ("Seamless reconnects").
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "audio/Splice.h"

namespace {

using qvm::audio::AudioTail;
using qvm::audio::SpliceFinder;

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kChans = 2;
constexpr std::size_t kPacketFrames = 1152;  // one MP3 frame

// Music-like audio (tones and noise), or a steady tone whose period is a whole
// number of samples, which looks alike a period earlier and so keeps the
// search comparing for longer at every period.
std::vector<std::int16_t> Audio(std::size_t frames, bool steadyTone) {
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.0, steadyTone ? 1.0 : 800.0);
    std::vector<std::int16_t> out(frames * kChans);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double v = steadyTone
                             ? 16000.0 * std::sin(2 * M_PI * static_cast<double>(i % 147) / 147)
                             : 6000.0 * std::sin(2 * M_PI * 220.0 * t) +
                                   3000.0 * std::sin(2 * M_PI * 1234.5 * t);
        for (std::uint32_t c = 0; c < kChans; ++c) {
            out[i * kChans + c] = static_cast<std::int16_t>(std::lround(v + noise(random)));
        }
    }
    return out;
}

// The old connection ended at 20 s; the new one starts with a burst of
// `range(0)` seconds, the overlap at its end (the link was down briefly).
void SearchBurst(benchmark::State& state) {
    const auto burstFrames = static_cast<std::size_t>(state.range(0)) * kRate;
    const bool steady = state.range(1) != 0;
    const std::size_t oldEnd = 20 * kRate;
    const std::vector<std::int16_t> audio = Audio(oldEnd + kRate, steady);
    AudioTail tail(kRate, kChans);
    tail.append(audio.data(), oldEnd);
    const std::vector<std::int16_t> old = tail.copy();
    const std::size_t from = oldEnd - burstFrames + kRate / 10;
    const std::span<const std::int16_t> fresh(audio.data() + from * kChans,
                                              (oldEnd + kRate - from) * kChans);
    for (auto _ : state) {
        SpliceFinder finder;
        finder.start(old, kChans, kRate);
        for (std::size_t have = 0; have < fresh.size() / kChans && !finder.exact();) {
            have = std::min(fresh.size() / kChans, have + kPacketFrames);
            finder.search(fresh.first(have * kChans));
        }
        if (!finder.exact()) {
            state.SkipWithError("no overlap found");
            break;
        }
        benchmark::DoNotOptimize(finder.exact());
    }
    state.counters["burst_s"] = static_cast<double>(state.range(0));
}
BENCHMARK(SearchBurst)
    ->ArgsProduct({{4, 10}, {0, 1}})
    ->ArgNames({"burst", "steadytone"})
    ->Unit(benchmark::kMillisecond);

// Every live stream keeps its newest second: one copy per decoded packet.
void KeepTail(benchmark::State& state) {
    const std::vector<std::int16_t> audio = Audio(kRate, false);
    AudioTail tail(kRate, kChans);
    std::size_t at = 0;
    for (auto _ : state) {
        tail.append(audio.data() + at * kChans, kPacketFrames);
        at = (at + kPacketFrames) % (kRate - kPacketFrames);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPacketFrames));
}
BENCHMARK(KeepTail);

}  // namespace

BENCHMARK_MAIN();
