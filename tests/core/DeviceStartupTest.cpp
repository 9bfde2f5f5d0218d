#include "core/DeviceStartup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/TimeBase.h"
#include "support/FakeAudioEngine.h"
#include "support/FakeClock.h"

namespace qvm {
namespace {

using test::FakeAudioEngine;
using test::FakeClock;

// Records what the start-up asked of the player.
struct RecordingHost : DeviceStartupHost {
    std::vector<int> intervals;
    QStringList deviceTexts;
    std::vector<std::uint32_t> notes;
    QStringList fatal;
    int mainLoopStarts = 0;
    int channels = 2;
    int onAir = -1;
    bool playing = false;
    int playClicks = 0;
    int trackBar = -1;

    void SetTimerInterval(int ms) override { intervals.push_back(ms); }
    void ShowDeviceText(const QString& text) override { deviceTexts.append(text); }
    void SendStudioNote(std::uint32_t message) override { notes.push_back(message); }
    void FatalError(const QString& text) override { fatal.append(text); }
    void StartMainLoop() override { ++mainLoopStarts; }
    int ChannelCount() const override { return channels; }
    int OnAirIndex() const override { return onAir; }
    void SetOnAirIndex(int index) override { onAir = index; }
    bool Playing() const override { return playing; }
    void PlayStopClick() override {
        ++playClicks;
        playing = true;
    }
    void SetVolumeTrackBar(int position) override { trackBar = position; }
};

// One engine, settings and host for each row of a table.
struct Rig {
    FakeAudioEngine engine;
    PlayerSettings settings;
    RecordingHost host;
};

class DeviceStartupTest : public ::testing::Test {
  protected:
    DeviceStartupTest() : m_source(&FakeClock::Tick32) { FakeClock::tick = 1000; }

    FakeAudioEngine engine;
    PlayerSettings settings;
    RecordingHost host;

  private:
    ScopedTickSource m_source;
};

TEST_F(DeviceStartupTest, WaitsForTheDeviceByNameAndNotesTheTimeoutOnce) {
    engine.setDevices({"Speakers", "HDMI"});
    settings.Device = QStringLiteral("usb output");
    settings.Wait = 2;
    DeviceStartup startup(engine, settings, host);
    startup.BeginWait();

    for (int i = 0; i < 8; ++i) {  // 2 s of polling: not yet over the wait
        startup.WaitDeviceTick();
        FakeClock::advanceMs(250);
    }
    EXPECT_EQ(startup.DeviceNames(), QStringList({"Speakers", "HDMI"}));
    EXPECT_EQ(startup.DeviceIndex(), -1);
    EXPECT_TRUE(host.notes.empty());
    EXPECT_TRUE(host.deviceTexts.empty()) << "a missing device shows nothing";
    EXPECT_EQ(host.intervals.back(), 250);

    FakeClock::advanceMs(1);
    startup.WaitDeviceTick();
    startup.WaitDeviceTick();
    EXPECT_EQ(host.notes, std::vector<std::uint32_t>{kNoteDeviceTimeout}) << "once per run";
    EXPECT_EQ(startup.WaitStart(), 0u);

    // Plugged in later: found on the next poll, matched whole and without
    // regard to case.
    engine.setDevices({"Speakers", "USB", "USB Output"});
    startup.WaitDeviceTick();
    EXPECT_EQ(startup.DeviceIndex(), 2);
    EXPECT_EQ(startup.state(), DeviceStartup::State::Started);
    EXPECT_EQ(engine.initDevice(), 3);
    EXPECT_EQ(host.mainLoopStarts, 1);
    EXPECT_EQ(host.notes.size(), 1u);
}

TEST_F(DeviceStartupTest, NoTimeoutNoticeWithoutAWait) {
    engine.setDevices({});
    settings.Device = QStringLiteral("Null output");
    settings.Wait = 0;
    DeviceStartup startup(engine, settings, host);
    startup.BeginWait();
    for (int i = 0; i < 5; ++i) {
        startup.WaitDeviceTick();
        FakeClock::advanceMs(100000);
    }
    EXPECT_TRUE(host.notes.empty());
    EXPECT_EQ(startup.state(), DeviceStartup::State::Missing);
}

TEST_F(DeviceStartupTest, RateFallback) {
    struct Case {
        int bitrate;
        std::vector<std::uint32_t> refused;
        int rate;  // 0: the device stays closed
        int bitrateAfter;
    };
    const Case cases[] = {
        {1, {}, 44100, 1},         {2, {32000}, 48000, 0},
        {0, {48000}, 44100, 1},    {1, {44100, 48000}, 0, 1},
        {0, {48000, 44100}, 0, 0}, {9, {}, 48000, 0},  // outside the table
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitrate);
        Rig r;
        r.engine.setDevices({"Null output"});
        for (std::uint32_t rate : c.refused) {
            r.engine.refuseRate(rate);
        }
        r.settings.Device = QStringLiteral("Null output");
        r.settings.Bitrate = c.bitrate;
        DeviceStartup startup(r.engine, r.settings, r.host);
        startup.WaitDeviceTick();
        EXPECT_EQ(r.settings.Bitrate, c.bitrateAfter);
        if (c.rate == 0) {
            EXPECT_EQ(startup.state(), DeviceStartup::State::Failed);
            EXPECT_EQ(r.host.deviceTexts, QStringList{"Error initialyze device Null output"});
            EXPECT_EQ(r.host.mainLoopStarts, 0);
            // No retry: later ticks leave the device alone.
            r.engine.setDevices({"Null output"});
            startup.WaitDeviceTick();
            EXPECT_EQ(r.host.deviceTexts.size(), 1);
            EXPECT_EQ(r.engine.initDevice(), 0);
        } else {
            EXPECT_EQ(startup.state(), DeviceStartup::State::Started);
            EXPECT_EQ(r.engine.initFreq(), static_cast<std::uint32_t>(c.rate));
            EXPECT_EQ(r.host.deviceTexts,
                      QStringList{QStringLiteral("Null output (%1)").arg(c.rate)});
            EXPECT_EQ(r.host.mainLoopStarts, 1);
        }
    }
}

TEST_F(DeviceStartupTest, NetworkOptionsAreClampedInTheSettings) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double buffer, timeout;
        double bufferAfter, timeoutAfter;
        std::uint32_t bufferMs, timeoutMs;
    };
    const Case cases[] = {
        {1.0, 5.0, 1.0, 5.0, 1000, 5000}, {0.2, 100, 0.5, 65.5, 500, 65500},
        {2.5, 0, 2.5, 1.0, 2500, 1000},   {1e9, 1.2345, 60.0, 1.2345, 60000, 1234},
        {nan, nan, 0.5, 1.0, 500, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        Rig r;
        r.settings.Device = QStringLiteral("Null output");
        r.settings.Buffer = c.buffer;
        r.settings.TimeOut = c.timeout;
        DeviceStartup startup(r.engine, r.settings, r.host);
        startup.WaitDeviceTick();
        ASSERT_EQ(startup.state(), DeviceStartup::State::Started);
        EXPECT_DOUBLE_EQ(r.settings.Buffer, c.bufferAfter);
        EXPECT_DOUBLE_EQ(r.settings.TimeOut, c.timeoutAfter);
        const audio::NetConfig net = r.engine.netConfig();
        EXPECT_EQ(net.bufferMs, c.bufferMs);
        EXPECT_EQ(net.timeoutMs, c.timeoutMs);
        EXPECT_EQ(net.readTimeoutMs, c.timeoutMs);
        EXPECT_EQ(net.userAgent, "QVMirelta");
    }
}

TEST_F(DeviceStartupTest, AfterTheStartAutoplayMutingAndStudioNotice) {
    struct Case {
        int sourceMode;
        int channels;
        int onAirBefore;
        int onAirAfter;
        int playClicks;
        int trackBar;
        std::vector<std::uint32_t> notes;
    };
    const Case cases[] = {
        {1, 2, -1, 0, 1, -1, {}},
        {0, 2, -1, 0, 0, 0, {}},
        {2, 2, 1, 1, 0, 0, {kNoteDeviceReady}},
        {3, 1, -1, 0, 1, -1, {kNoteDeviceReady}},
        {3, 0, 0, -1, 0, -1, {}},  // nothing to play: no autoplay, no notice
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sourceMode * 10 + c.channels);
        Rig r;
        r.settings.Device = QStringLiteral("Null output");
        r.settings.SourceMode = c.sourceMode;
        r.host.channels = c.channels;
        r.host.onAir = c.onAirBefore;
        DeviceStartup startup(r.engine, r.settings, r.host);
        startup.WaitDeviceTick();
        EXPECT_EQ(r.host.onAir, c.onAirAfter);
        EXPECT_EQ(r.host.playClicks, c.playClicks);
        EXPECT_EQ(r.host.trackBar, c.trackBar);
        EXPECT_EQ(r.host.notes, c.notes);
    }
}

TEST_F(DeviceStartupTest, WrongLibraryVersionEndsTheProgramBeforeTheDeviceOpens) {
    engine.setVersionMismatch("libavcodec.so.59");
    settings.Device = QStringLiteral("Null output");
    DeviceStartup startup(engine, settings, host);
    startup.WaitDeviceTick();
    EXPECT_EQ(host.fatal, QStringList{"An incorrect version of libavcodec.so.59 was loaded"});
    EXPECT_EQ(engine.initDevice(), 0);
    EXPECT_EQ(host.mainLoopStarts, 0);
}

TEST_F(DeviceStartupTest, HlsFollowsTheEngine) {
    for (const bool supported : {true, false}) {
        Rig r;
        r.engine.setHlsSupported(supported);
        r.settings.Device = QStringLiteral("Null output");
        DeviceStartup startup(r.engine, r.settings, r.host);
        startup.WaitDeviceTick();
        EXPECT_EQ(startup.HlsAvailable(), supported);
    }
}

}  // namespace
}  // namespace qvm
