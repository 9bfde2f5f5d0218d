#include <gtest/gtest.h>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "dsp/Ladspa.h"
#include "dsp/LadspaDialog.h"
#include "dsp/PlugIns.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

// Debian's swh-plugins, installed by scripts/setup.
const QString kLimiter = QStringLiteral("fast_lookahead_limiter_1913.so:fastLookaheadLimiter");
const QString kAmp = QStringLiteral("amp_1181.so:amp");
constexpr std::size_t kLimitControl = 1;  // "Limit (dB)"

class Ladspa : public ::testing::Test {
  protected:
    void SetUp() override { qputenv("LADSPA_PATH", "/usr/lib/ladspa"); }
    void TearDown() override { qunsetenv("LADSPA_PATH"); }

    TempDir dir;
};

LadspaEffect& Effect(const QVPlugIns& host, std::size_t index) {
    return *host.Loaded().at(index)->Ladspa;
}

// `seconds` of a 1 kHz sine at `amplitude` (of full scale) on every channel,
// through the host's chain in 20 ms blocks; the processed samples.
std::vector<std::int16_t> PlayTone(QVPlugIns& host, std::uint32_t rate, std::uint32_t chans,
                                   double amplitude, double seconds) {
    const std::uint32_t frames = rate / 50;
    const auto total = static_cast<std::uint32_t>(seconds * rate);
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> block(std::size_t{frames} * chans);
    for (std::uint32_t start = 0; start < total; start += frames) {
        for (std::uint32_t f = 0; f < frames; ++f) {
            const double v = amplitude * std::sin(2.0 * M_PI * 1000.0 * (start + f) / rate);
            for (std::uint32_t c = 0; c < chans; ++c) {
                block[f * chans + c] = static_cast<std::int16_t>(std::lround(v * 32767.0));
            }
        }
        host.RunPlugins(block.data(), static_cast<std::uint32_t>(block.size() * 2), rate, chans);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

// Peak (dBFS) of channel `channel` from `fromFrame` on.
double PeakDb(const std::vector<std::int16_t>& samples, std::uint32_t chans, std::uint32_t channel,
              std::size_t fromFrame) {
    int peak = 0;
    for (std::size_t i = fromFrame * chans + channel; i < samples.size(); i += chans) {
        peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    }
    return 20.0 * std::log10(std::max(peak, 1) / 32768.0);
}

TEST_F(Ladspa, LimiterHoldsALoudToneUnderItsLimitInEveryLayout) {
    QVPlugIns host;
    host.InitPlugins();
    ASSERT_TRUE(host.LoadPlugin(dir.path(), kLimiter)) << host.Loaded().at(0)->Error.toStdString();
    Effect(host, 0).setValue(kLimitControl, -12.0f);
    struct Case {
        std::uint32_t rate;
        std::uint32_t chans;
    };
    // A stereo plug-in: stereo as it is, mono on both inputs, and the first two
    // of six channels (the others pass untouched).
    for (const Case c : {Case{44100, 2}, Case{22050, 1}, Case{48000, 6}}) {
        const std::vector<std::int16_t> out = PlayTone(host, c.rate, c.chans, 0.9, 1.0);
        const std::size_t settled = c.rate / 2;
        for (std::uint32_t ch = 0; ch < std::min(c.chans, 2u); ++ch) {
            const double peak = PeakDb(out, c.chans, ch, settled);
            EXPECT_LE(peak, -11.8) << c.rate << " Hz, " << c.chans << " channels, channel " << ch;
            EXPECT_GE(peak, -13.0) << c.rate << " Hz, " << c.chans << " channels, channel " << ch;
        }
        for (std::uint32_t ch = 2; ch < c.chans; ++ch) {
            EXPECT_NEAR(PeakDb(out, c.chans, ch, settled), 20.0 * std::log10(0.9), 0.05)
                << "channel " << ch << " passes unchanged";
        }
    }
    // A tone under the limit goes through as it is, once the limiter has
    // released.
    const std::vector<std::int16_t> quiet = PlayTone(host, 44100, 2, 0.1, 3.0);
    EXPECT_NEAR(PeakDb(quiet, 2, 0, 44100 * 5 / 2), -20.0, 0.2);
}

TEST_F(Ladspa, MonoPluginRunsOncePerChannel) {
    QVPlugIns host;
    host.InitPlugins();
    ASSERT_TRUE(host.LoadPlugin(dir.path(), kAmp)) << host.Loaded().at(0)->Error.toStdString();
    Effect(host, 0).setValue(0, static_cast<float>(20.0 * std::log10(0.5)));
    std::vector<std::int16_t> block(1764);
    for (std::size_t i = 0; i < block.size(); i += 2) {
        block[i] = 10000;
        block[i + 1] = -20000;
    }
    host.RunPlugins(block.data(), static_cast<std::uint32_t>(block.size() * 2), 44100, 2);
    EXPECT_NEAR(block[100], 5000, 2);
    EXPECT_NEAR(block[101], -10000, 2);
}

TEST_F(Ladspa, UnknownOrUnusablePluginsLeaveInactiveRecords) {
    QVPlugIns host;
    host.InitPlugins();
    EXPECT_FALSE(host.LoadPlugin(dir.path(), QStringLiteral("no_such_library.so:label")));
    EXPECT_FALSE(host.LoadPlugin(dir.path(), QStringLiteral("amp_1181.so:noSuchLabel")));
    // The sine generator has no audio input: nothing the chain could run.
    EXPECT_FALSE(host.LoadPlugin(dir.path(), QStringLiteral("sin_cos_1881.so:sinCos")));
    ASSERT_EQ(host.LoadedPlugins().size(), 3);
    for (const auto& record : host.Loaded()) {
        EXPECT_FALSE(record->Active);
        EXPECT_FALSE(record->Error.isEmpty()) << record->Name.toStdString();
    }
}

// Runs `act` on the dialog once ConfigPlugin has opened it.
void OnDialog(const std::function<void(LadspaDialog&)>& act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<LadspaDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        act(*dialog);
    });
}

QDoubleSpinBox* Number(LadspaDialog& dialog, std::size_t control) {
    return dialog.findChild<QDoubleSpinBox*>(QStringLiteral("control%1").arg(control));
}

TEST_F(Ladspa, DialogSetsControlsThatSurviveARestart) {
    const QString file = dir.file(QStringLiteral("QVMirelta.ladspa.ini"));
    {
        QVPlugIns host(file);
        host.InitPlugins();
        ASSERT_TRUE(host.LoadPlugin(dir.path(), kLimiter));
        LadspaEffect& limiter = Effect(host, 0);
        EXPECT_FLOAT_EQ(limiter.value(kLimitControl), 0.0f) << "the plug-in's default";

        OnDialog([](LadspaDialog& dialog) {
            QDoubleSpinBox* limit = Number(dialog, kLimitControl);
            ASSERT_NE(limit, nullptr);
            EXPECT_EQ(limit->minimum(), -20.0);
            EXPECT_EQ(limit->maximum(), 0.0);
            limit->setValue(-30.0);  // clamped to the port's bound
            dialog.accept();
        });
        host.ConfigPlugin(0);
        EXPECT_FLOAT_EQ(limiter.value(kLimitControl), -20.0f);

        // Heard at once while the dialog is open, taken back by Cancel.
        OnDialog([&limiter](LadspaDialog& dialog) {
            Number(dialog, kLimitControl)->setValue(-6.0);
            EXPECT_FLOAT_EQ(limiter.value(kLimitControl), -6.0f);
            dialog.reject();
        });
        host.ConfigPlugin(0);
        EXPECT_FLOAT_EQ(limiter.value(kLimitControl), -20.0f);
    }
    QVPlugIns restarted(file);
    restarted.InitPlugins();
    ASSERT_TRUE(restarted.LoadPlugin(dir.path(), kLimiter));
    EXPECT_FLOAT_EQ(Effect(restarted, 0).value(kLimitControl), -20.0f);

    OnDialog([](LadspaDialog& dialog) {
        dialog.findChild<QPushButton*>(QStringLiteral("defaults"))->click();
        dialog.accept();
    });
    restarted.ConfigPlugin(0);
    EXPECT_FLOAT_EQ(Effect(restarted, 0).value(kLimitControl), 0.0f);
    EXPECT_FLOAT_EQ(Effect(restarted, 0).value(2), 0.5075f) << "release time default";
}

TEST_F(Ladspa, ControlDefaultsFollowThePortHints) {
    QVPlugIns host;
    host.InitPlugins();
    ASSERT_TRUE(host.LoadPlugin(dir.path(), kLimiter));
    const auto& controls = Effect(host, 0).controls();
    ASSERT_EQ(controls.size(), 3u) << "input controls only";
    EXPECT_EQ(controls[0].name, QStringLiteral("Input gain (dB)"));
    EXPECT_FLOAT_EQ(controls[0].minimum, -20.0f);
    EXPECT_FLOAT_EQ(controls[0].maximum, 20.0f);
    EXPECT_FLOAT_EQ(controls[0].defaultValue, 0.0f);
    EXPECT_FLOAT_EQ(controls[2].defaultValue, 0.5075f);
}

}  // namespace
}  // namespace qvm::test
