// The plug-in chain's cost per mixer block: 20 ms of 44.1 kHz stereo through
// the test gain plug-in (a version-2 DSP library), through the LADSPA fast
// lookahead limiter of swh-plugins, and through both; the empty chain for
// comparison. Figures in docs/performance.md, section "DSP plug-ins".
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QString>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dsp/PlugIns.h"

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kFrames = kRate / 50;

void chain(benchmark::State& state, const QStringList& plugins) {
    qputenv("LADSPA_PATH", "/usr/lib/ladspa");
    qvm::QVPlugIns host;
    host.InitPlugins();
    for (const QString& name : plugins) {
        if (!host.LoadPlugin(QStringLiteral(QVM_TEST_PLUGIN_DIR), name)) {
            state.SkipWithError(qPrintable(QStringLiteral("cannot load ") + name));
            return;
        }
    }
    std::vector<std::int16_t> tone(kFrames * 2);
    std::vector<std::int16_t> block(tone.size());
    for (std::uint32_t f = 0; f < kFrames; ++f) {
        const auto v =
            static_cast<std::int16_t>(30000.0 * std::sin(2.0 * M_PI * 440.0 * f / kRate));
        tone[2 * f] = tone[2 * f + 1] = v;
    }
    for (auto _ : state) {
        block = tone;
        host.RunPlugins(block.data(), static_cast<std::uint32_t>(block.size() * 2), kRate, 2);
        benchmark::DoNotOptimize(block.data());
    }
    state.SetLabel("20 ms stereo block");
}

const QString kGain = QStringLiteral("dsp_gain.so");
const QString kLimiter = QStringLiteral("fast_lookahead_limiter_1913.so:fastLookaheadLimiter");

BENCHMARK_CAPTURE(chain, empty, QStringList{});
BENCHMARK_CAPTURE(chain, gain, QStringList{kGain});
BENCHMARK_CAPTURE(chain, ladspa_limiter, QStringList{kLimiter});
BENCHMARK_CAPTURE(chain, gain_and_limiter, QStringList{kGain, kLimiter});

}  // namespace

BENCHMARK_MAIN();
