// Device start-up against the real engine: the built-in null output, and a
// PortAudio device of a headless sound server when one can be started here.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

// While the configured device is missing, the wait polls the device list
// every 250 ms on the UI thread. Listing PortAudio's devices re-initialises
// it (opening every card, connecting to every sound server): that runs on the
// engine's own thread, at most once a second, and a poll only reads the
// latest list. Here with a sound server running, where a listing costs most.
TEST(DeviceStartupReal, WaitingForAMissingDeviceCostsTheUiThreadNothing) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sound server is started through fork, which ThreadSanitizer misreads";
#endif
    test::PulseSink pulse;
    std::string why;
    const bool server = pulse.start(why);
    auto engine = audio::CreateAudioEngine();
    PlayerSettings settings;
    settings.Device = QStringLiteral("A card that is not there");
    Host host;
    DeviceStartup startup(*engine, settings, host);
    startup.BeginWait();
    startup.WaitDeviceTick();  // the first listing may be waited for, once
    const std::uint64_t scansBefore = engine->GetStats().deviceScans;
    using Clock = std::chrono::steady_clock;
    Clock::duration longest{};
    const auto start = Clock::now();
    for (int poll = 0; poll < 16; ++poll) {  // four seconds of polling
        const auto before = Clock::now();
        startup.WaitDeviceTick();
        longest = std::max(longest, Clock::now() - before);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::uint64_t scans = engine->GetStats().deviceScans - scansBefore;
    const double longestMs = std::chrono::duration<double, std::milli>(longest).count();
    EXPECT_EQ(startup.state(), DeviceStartup::State::Missing);
    EXPECT_LT(longestMs, 5.0) << "a poll waited for the listing";
    EXPECT_GE(scans, 2u) << "the list is still refreshed";
    EXPECT_LE(static_cast<double>(scans), seconds + 1.0) << "at most once a second";
    std::printf("%s sound server: longest poll %.2f ms, %llu listings in %.1f s\n",
                server ? "with a" : "without a", longestMs, static_cast<unsigned long long>(scans),
                seconds);
}

}  // namespace
}  // namespace qvm
