#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

#include "audio/AudioEngine.h"
#include "config/Settings.h"

namespace qvm {

// Notices for the studio program about the sound device.
inline constexpr std::uint32_t kNoteDeviceTimeout = 0x1000;
inline constexpr std::uint32_t kNoteDeviceReady = 0x1001;

// Longest network buffer the device start-up hands to the engine. The settings
// dialog offers up to 60 s; a hand-edited file could ask for far more and
// every stream would try to reserve it.
inline constexpr double kMaxBufferSeconds = 60.0;

// What the device start-up needs from the player around it. UI thread.
class DeviceStartupHost {
  public:
    virtual ~DeviceStartupHost() = default;
    virtual void SetTimerInterval(int ms) = 0;
    // The device text under the window's title (the device and its rate, or
    // the error).
    virtual void ShowDeviceText(const QString& text) = 0;
    // Sent synchronously to every studio peer.
    virtual void SendStudioNote(std::uint32_t message) = 0;
    // Shows the error box and ends the program at once.
    virtual void FatalError(const QString& text) = 0;
    // Hands the timer to the main loop at 10 ms.
    virtual void StartMainLoop() = 0;
    virtual int ChannelCount() const = 0;
    virtual int OnAirIndex() const = 0;
    virtual void SetOnAirIndex(int index) = 0;
    virtual bool Playing() const = 0;
    // The play/stop button pressed (output starts with its fade-in).
    virtual void PlayStopClick() = 0;
    // The volume track bar moved to `position` (sets the main volume).
    virtual void SetVolumeTrackBar(int position) = 0;
};

// Waits for the configured output device by name, opens it (falling back to
// another rate), sets the engine's network options from the settings and hands
// over to the main loop. The device is opened once per run.
class DeviceStartup {
  public:
    enum class State { Missing, Started, Failed };

    DeviceStartup(audio::IAudioEngine& engine, PlayerSettings& settings, DeviceStartupHost& host);

    // Marks the start of the wait for the studio notice.
    void BeginWait();
    // One poll while the device is missing (every 250 ms). Does nothing once
    // the device was started or failed to open: there is no retry.
    void WaitDeviceTick();
    void Update_Devices();
    void StartDevice();

    const QStringList& DeviceNames() const { return m_deviceNames; }
    int DeviceIndex() const { return m_deviceIndex; }
    std::uint64_t WaitStart() const { return m_waitStart; }
    bool HlsAvailable() const { return m_hlsAvailable; }
    State state() const { return m_state; }
    // The rate the device runs at; 0 until started.
    int DeviceRate() const { return m_deviceRate; }

  private:
    bool tryInit(int rate);

    audio::IAudioEngine& m_engine;
    PlayerSettings& m_settings;
    DeviceStartupHost& m_host;
    QStringList m_deviceNames;
    int m_deviceIndex = -1;
    std::uint64_t m_waitStart = 0;
    bool m_hlsAvailable = false;
    State m_state = State::Missing;
    int m_deviceRate = 0;
};

}  // namespace qvm
