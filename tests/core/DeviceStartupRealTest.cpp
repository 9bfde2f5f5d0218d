// Device start-up against the real engine: the built-in null output, and a
// PortAudio device of a headless sound server when one can be started here.
#include <gtest/gtest.h>

#include "audio/AudioEngine.h"
#include "core/DeviceStartup.h"
#include "support/PulseSink.h"

namespace qvm {
namespace {

struct Host : DeviceStartupHost {
    QStringList deviceTexts;
    int mainLoopStarts = 0;
    QStringList fatal;
    void SetTimerInterval(int) override {}
    void ShowDeviceText(const QString& text) override { deviceTexts.append(text); }
    void SendStudioNote(std::uint32_t) override {}
    void FatalError(const QString& text) override { fatal.append(text); }
    void StartMainLoop() override { ++mainLoopStarts; }
    int ChannelCount() const override { return 0; }
    int OnAirIndex() const override { return -1; }
    void SetOnAirIndex(int) override {}
    bool Playing() const override { return false; }
    void PlayStopClick() override {}
    void SetVolumeTrackBar(int) override {}
};

// Starts the named device at 44100 Hz and checks what the player would show.
void StartsByName(const QString& name) {
    auto engine = audio::CreateAudioEngine();
    PlayerSettings settings;
    settings.Device = name.toUpper();  // names match without regard to case
    settings.Bitrate = 1;
    Host host;
    DeviceStartup startup(*engine, settings, host);
    startup.BeginWait();
    startup.WaitDeviceTick();
    ASSERT_TRUE(host.fatal.isEmpty()) << host.fatal.join(' ').toStdString();
    ASSERT_EQ(startup.state(), DeviceStartup::State::Started)
        << startup.DeviceNames().join(", ").toStdString();
    EXPECT_EQ(startup.DeviceNames().at(startup.DeviceIndex()), name);
    EXPECT_EQ(host.deviceTexts, QStringList{name.toUpper() + " (44100)"});
    EXPECT_EQ(host.mainLoopStarts, 1);
    EXPECT_TRUE(startup.HlsAvailable());
    EXPECT_EQ(startup.DeviceNames().last(), "Null output");
    engine->Free();
}

TEST(DeviceStartupReal, StartsTheNullOutput) {
    StartsByName(QStringLiteral("Null output"));
}

TEST(DeviceStartupReal, StartsAPortAudioDevice) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sound server is started through fork, which ThreadSanitizer misreads";
#endif
    test::PulseSink pulse;
    std::string why;
    if (!pulse.start(why)) {
        GTEST_SKIP() << why;
    }
    StartsByName(QStringLiteral("pulse"));
}

}  // namespace
}  // namespace qvm
