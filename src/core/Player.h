#pragma once

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "audio/AudioEngine.h"
#include "channel/ChannelContext.h"
#include "config/Settings.h"
#include "core/DeviceStartup.h"
#include "core/EventLog.h"
#include "core/Fader.h"
#include "core/PlayerView.h"
#include "core/StudioSink.h"
#include "core/TimeBase.h"
#include "dsp/DspHost.h"

namespace qvm {

class TerminationSignals;
class TfrChannelForm;
class TLanguage;

// What months of unattended running have brought, for the status page and
// the log. UI thread.
struct PlayerHealth {
    std::uint64_t stalls = 0;       // times a playing stream ran dry
    std::uint64_t rejoins = 0;      // lost connections restored before a ring ran dry
    std::uint64_t latePeriods = 0;  // periods the sound device played late
    bool deviceLost = false;        // the sound device is gone; waiting for it
    std::uint64_t deviceLosses = 0;
    // The UI thread's responsiveness: the longest time between two main-loop
    // ticks (10 ms when nothing holds it up), and the longest tick itself.
    std::int64_t longestTickGapMs = 0;
    std::int64_t longestTickMs = 0;
};

// Where the player lives: files, clocks and the outside programs it starts.
struct PlayerOptions {
    QString iniPath;    // the settings file
    QString exeFolder;  // beside the executable, ending in "/": the Log folder
    WallClock wallClock = &SystemWallClockDays;
    // Opens RunOnChange/RunOnRestore when they are not executable files.
    QString documentOpener = QStringLiteral("xdg-open");
    // SIGTERM, SIGINT and SIGHUP close the player without asking.
    bool catchTermination = true;
    bool raisePriority = true;
    // Every event-log line also goes to standard error (a service's journal).
    bool logToStderr = false;
};

// The parts of the program that other layers provide. Every member may be
// empty: the player then runs without that part.
struct PlayerHooks {
    // Start-up creates the studio link here.
    std::function<std::unique_ptr<StudioSink>()> createStudioLink;
    // Activates the HTTP server on a port (when the HTTPPort setting is > 0).
    std::function<void(int port)> activateHttpServer;
    // Closes it, and every connection, as the shutdown begins.
    std::function<void()> deactivateHttpServer;
    // After every tick of the UI timer, from the device wait on: the state
    // the remote-control pages show is taken here.
    std::function<void()> afterTick;
    // The modal settings dialog; it edits configuration() in place.
    std::function<void()> showSettingsDialog;
    // Closes the settings dialog without applying it, when the player shuts
    // down while it is open (a termination signal, the session ending).
    std::function<void()> closeSettingsDialog;
    // Ends the program with an exit code once the player has shut down or
    // failed fatally. Empty: QCoreApplication::exit from the event loop.
    std::function<void(int code)> quit;
    IDspHost* dspHost = nullptr;  // not owned
};

// The main window's logic (TQV_Mirelta): start-up in its fixed order, the
// single UI timer handed from the device wait to the main loop NuclearWork,
// the switching controller, the channel list, and shutdown. The window itself
// is a thin view (IPlayerView) that shows what this class tells it and hands
// user actions back (SBPlayStopClick, OnVolumeMoved, SBSettingClick,
// FormClose).
//
// UI thread only, except the request methods (RequestStop, RequestPlay,
// RequestChannel), which any thread may call; the next tick carries them out.
class Player final : public DeviceStartupHost {
  public:
    enum class TimerHandler { None, WaitDevice, NuclearWork };

    // `language` has its start language selected. `view` is not owned, must
    // outlive the player (its channel pages are drawn on until the channels
    // are closed) and may be null (nothing shown, the exit question answered
    // yes).
    Player(audio::IAudioEngine& engine, std::unique_ptr<TLanguage> language, PlayerOptions options,
           IPlayerView* view = nullptr, PlayerHooks hooks = {});
    // Closes what FormClose has not closed, without asking.
    ~Player() override;
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // --- start-up, main loop, shutdown ---
    // The start-up sequence. False when it ended the program (fatal error);
    // the quit hook has then been asked to end it.
    bool FormCreate();
    // The timer's handler: the device wait until the device has started,
    // then the main loop.
    void TimerTick();
    // One main-loop tick.
    void NuclearWork();
    // The shutdown sequence. False when the user answered the exit question
    // with anything but yes: everything goes on. True once closed (also on
    // every later call).
    bool FormClose();
    // The session ends, the application quits, or SIGTERM, SIGINT or SIGHUP arrived:
    // close without asking.
    void WMSystem_Shutdown_Query();

    // --- requests from other threads (HTTP), carried out by the next tick ---
    void RequestStop() { m_pendingStop.store(true, std::memory_order_relaxed); }
    void RequestPlay() { m_pendingPlay.store(true, std::memory_order_relaxed); }
    // The last request before a tick wins; an index outside the list is dropped.
    void RequestChannel(int index) { m_pendingChannel.store(index, std::memory_order_relaxed); }

    // --- window actions ---
    void SBPlayStopClick();
    // The volume track bar was moved (by the user or the studio program).
    void OnVolumeMoved(int position);
    void SBSettingClick();

    // --- switching controller ---
    void MainPlay(bool fadeIn);
    void MainStop(bool fade, bool withProgress);
    void FinishAndStop(double value);
    void OnMainFader(double value);
    void ChannelPressPlayBtn(int index);
    void ExecutePressFadeIn(int index, bool fadeIn);
    void OnPlayChannel(int index);
    void PlayChild(int index);
    void StopChild(int index);
    void ShowStatusPlayStop();
    void ChangeActiveChannel();
    void TBVolumeChange();
    // Builds or adjusts the channels from the channel list.
    void Update_Channels();
    // Sends a title to the studio program and shows it as the one sent.
    void Send_Studio_Title(const QString& title);

    // --- DeviceStartupHost ---
    void SetTimerInterval(int ms) override;
    void ShowDeviceText(const QString& text) override;
    void SendStudioNote(std::uint32_t message) override;
    void FatalError(const QString& text) override;
    void StartMainLoop() override;
    int ChannelCount() const override { return static_cast<int>(m_channels.size()); }
    int OnAirIndex() const override { return m_ctx->onAirIndex.load(std::memory_order_relaxed); }
    void SetOnAirIndex(int index) override;
    bool Playing() const override { return m_playing; }
    void PlayStopClick() override { SBPlayStopClick(); }
    void SetVolumeTrackBar(int position) override;

    // --- state ---
    const PlayerHealth& Health() const { return m_health; }
    bool SilenceState() const { return m_silenceState; }
    int RestoreFloor() const { return m_restoreFloor; }
    int PressedChannel() const { return m_pressedChannel; }
    bool ConfirmExit() const { return m_confirmExit; }
    bool Closed() const { return m_closed; }
    bool Closing() const { return m_closing; }
    int VolumePosition() const { return m_volumePosition; }
    int MainVolume() const { return m_ctx->mainVolume.load(std::memory_order_relaxed); }
    std::int64_t SendDelay() const { return m_ctx->sendDelay.load(std::memory_order_relaxed); }
    bool PendingStop() const { return m_pendingStop.load(std::memory_order_relaxed); }
    bool PendingPlay() const { return m_pendingPlay.load(std::memory_order_relaxed); }
    int PendingChannel() const { return m_pendingChannel.load(std::memory_order_relaxed); }
    TQVFader* MainFader() { return m_mainFader.get(); }
    TfrChannelForm& Channel(int index) { return *m_channels.at(static_cast<std::size_t>(index)); }
    const DeviceStartup* Device() const { return m_device.get(); }
    const QTimer& Timer() const { return m_timer; }
    TimerHandler Handler() const { return m_handler; }
    // The settings and channel list; the settings dialog edits them in place.
    Configuration& configuration() { return m_config; }
    const TLanguage& language() const { return *m_language; }
    // The settings dialog switches the language while it is open.
    TLanguage& language() { return *m_language; }
    ChannelContext& context() { return *m_ctx; }
    StudioSink* studioLink() { return m_studio.get(); }
    // A line in the event log (when log files are on), for the parts around
    // the player.
    void LogEvent(const QString& text) { m_log.Log(text); }

  private:
    bool validIndex(int index) const { return index >= 0 && index < ChannelCount(); }
    void connectChannel(TfrChannelForm& channel);
    void removeLastChannel();
    void moveAirIntoList();
    void setSourceVisible(bool visible);
    void setSourceText(const QString& text);
    void setSilence(bool silence);
    void runProgram(const QString& path) const;
    void drainMainQueue();
    // Ten times a second: the engine's counters; late device periods are logged
    // once a minute when there were any; a lost device (and its return) is
    // shown with the device and logged.
    void checkHealth(std::int64_t now);
    // Gives the heap's free pages back now and then; logs the figures hourly.
    void checkMemory(std::int64_t now);
    void applySendDelay();
    void quit(int code);

    audio::IAudioEngine& m_engine;
    std::unique_ptr<TLanguage> m_language;
    PlayerOptions m_options;
    NullPlayerView m_nullView;
    IPlayerView* m_view;
    PlayerHooks m_hooks;
    Configuration m_config;
    EventLog m_log;
    std::unique_ptr<ChannelContext> m_ctx;
    std::unique_ptr<TQVFader> m_mainFader;
    std::unique_ptr<StudioSink> m_studio;
    std::unique_ptr<DeviceStartup> m_device;
    std::unique_ptr<TerminationSignals> m_termination;
    QTimer m_timer;
    TimerHandler m_handler = TimerHandler::None;

    bool m_playing = false;
    bool m_confirmExit = true;
    bool m_silenceState = false;
    int m_restoreFloor = 0;
    int m_pressedChannel = -1;
    int m_volumePosition = 100;
    bool m_deviceStarted = false;
    bool m_fatal = false;
    bool m_closing = false;
    bool m_closed = false;

    // Request fields: written by HTTP threads, taken by the main loop with an
    // exchange at the start of a tick. Each is a self-contained value that
    // publishes nothing else, so relaxed order is enough; the exchange loses
    // no request that arrives during the tick.
    std::atomic<bool> m_pendingStop{false};
    std::atomic<bool> m_pendingPlay{false};
    std::atomic<int> m_pendingChannel{-1};

    // What LabSource shows, so that a tick only touches it on a change.
    bool m_sourceVisible = false;
    bool m_sourceShown = false;
    int m_sourceIndex = -1;   // the channel its text names
    QByteArray m_pcmMessage;  // reused for every PcmData block

    PlayerHealth m_health;
    std::int64_t m_nextHealthCheck = 0;
    std::int64_t m_nextHeapTrim = 0;
    int m_heapTrims = 0;
    std::int64_t m_lastMainTick = 0;
    std::int64_t m_lateWindowEnd = 0;  // 0: no window under way
    std::uint64_t m_lateAtWindowStart = 0;

    // Last, so that the channels go before everything they use.
    std::vector<std::unique_ptr<TfrChannelForm>> m_channels;
};

}  // namespace qvm
