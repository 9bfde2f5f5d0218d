#pragma once

#include <QColor>
#include <QString>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "audio/AudioEngine.h"
#include "channel/BlockQueue.h"
#include "channel/ChannelView.h"
#include "channel/ConnectThread.h"
#include "channel/RestartPlan.h"
#include "channel/SampleTap.h"
#include "channel/Silence.h"
#include "core/Fader.h"

namespace qvm {

struct ChannelContext;
struct ChannelSettings;
struct LanguageKey;

enum class ChannelStatus : std::uint8_t { Stop = 0, Connect = 1, Buffer = 2, Play = 3, Error = 4 };

// InChild bits, the same values as the SwitchBy setting.
inline constexpr std::uint8_t kChildSilence = 1;
inline constexpr std::uint8_t kChildBreak = 2;

// One stream channel: its state machine (Stop, Connect, Buffer, Play, Error),
// its connect attempts, the sample tap and block queue, silence and break
// detection and the planned restart. This is the logic of the channel page;
// the page itself is a thin view (IChannelView) that shows what this class
// tells it and forwards its button clicks here.
//
// UI thread only, driven by Tick() from the main loop every 10 ms. It reports
// to the switching controller only through the four events, each with Index.
// Other threads meet it at three hand-overs: the connect thread (TConnectThread),
// the sample tap on the mixer thread (TapContext, StreamBuffer) and the
// metadata callback on the reader thread (m_metaChanged).
class TfrChannelForm {
  public:
    using Event = std::function<void(int index)>;

    // `view` is not owned and may be null (nothing shown).
    TfrChannelForm(ChannelContext& ctx, int index, IChannelView* view = nullptr);
    // Stops the channel, aborting a pending connect attempt and waiting for
    // its thread (at most the engine's abort delay), and frees its streams.
    ~TfrChannelForm();
    TfrChannelForm(const TfrChannelForm&) = delete;
    TfrChannelForm& operator=(const TfrChannelForm&) = delete;

    // --- operations of the player and the switching controller ---
    void SetData(const ChannelSettings& data);
    static double CalcAmplifier(double dB);
    void Play();
    // Stops at once. A pending connect attempt is aborted and left to finish
    // in the background; the stream it may still open is freed when it does.
    void Stop();
    void StopByFader();
    void FinishAndStop(double value);
    void Fader_SetVolume(double value);
    void Update_MainVolume();
    void Init_Status();
    void Tick(std::int64_t now);

    // --- page actions ---
    void ShowPlayButton(bool enabled);
    void ShowLookButton();
    void SBPlayClick();
    void SBLookClick();
    void LabStatusDblClick();

    // Left and right level of the audible stream (the old one during a planned
    // restart) in dB; -100 without a stream.
    PeakDb Get_Channel_Level() const;
    double Get_Buffer_Percent() const;

    // --- events, each with Index ---
    Event OnPressPlay;
    Event OnPlayChild;  // InChild changed and is not 0
    Event OnStopChild;  // InChild changed to 0
    Event OnOnline;     // started playing

    // --- state ---
    int Index() const { return m_index; }
    ChannelStatus Status() const { return m_status; }
    std::uint8_t InChild() const { return m_inChild; }
    bool Always() const { return m_always; }
    const QString& URL() const { return m_url; }
    TQVFader& Fader() { return m_fader; }
    // Set when station, bitrate or title changed; the main loop clears it once
    // it has passed the title on, the controller sets it on a switch.
    bool TitleChanged() const { return m_titleChanged; }
    void setTitleChanged(bool changed) { m_titleChanged = changed; }
    const QString& Title() const { return m_title; }
    const QString& StationName() const { return m_stationName; }
    const QString& BitrateText() const { return m_bitrateText; }
    // What the page's info label shows (the bitrate line), for other readers
    // of the channel than its page.
    const QString& InfoLine() const { return m_infoLine; }
    QString BitrateLine() const;
    const QString& Message() const { return m_message; }
    std::int64_t PlayStart() const { return m_playStart; }
    std::int64_t BreakStart() const { return m_breakStart; }
    std::int64_t ReconnectAt() const { return m_reconnectAt; }
    std::uint8_t ErrorCount() const { return m_errorCount; }
    bool InBreak() const { return m_inBreak; }
    bool Restarting() const { return m_restarting; }
    double NextRestart() const { return m_nextRestart; }
    const RestartPlan& Plan() const { return m_plan; }
    double ChannelVolume() const { return m_channelVolume; }
    double AmpGain() const { return m_tap.ampGain.load(std::memory_order_relaxed); }
    std::uint32_t Freq() const { return m_freq; }
    std::uint32_t Chans() const { return m_chans; }
    audio::StreamHandle Stream() const { return m_stream; }
    audio::StreamHandle OldStream() const { return m_oldStream; }
    bool ConnectPending() const { return m_thread != nullptr; }
    const TSilence& Silence() const { return m_silence; }
    const TStreamABuffer& StreamBuffer() const { return m_streamBuffer; }

  private:
    // State machine (Channel.cpp).
    void SetStatus(ChannelStatus status);
    bool SetInChild(std::uint8_t bit, bool on);
    void StartStopChild();
    void onBreak(bool on);
    void onSilence(std::uint8_t mode);
    bool ThreadComplete();
    void SetError();
    void CheckRestarter();
    void CheckRestarter_InBreak();
    void CheckRestarter_Normal();
    void CheckRestarter_rTick();
    // A reconnect for the break rule: three within a minute are a break.
    void NoteReconnect();
    void TickStop();
    void TickConnect();
    void TickBuffer();
    void TickPlay();
    // False when the stream failed (the channel is then in Error).
    bool CheckStreamHealth();
    void TickError();
    void SetMessage(const QString& text);
    void ArmSilence();
    double Wall() const;

    // Stream, metadata, tap (ChannelStream.cpp).
    void StartConnect();
    void RunPlay();
    void GetHTTPInfo();
    void UpdateTitle();
    void DoMeta();
    void CloseURL();
    void CloseOldURL();
    void RemoveTap();
    void Work_With_StreamBuffer();
    void Set_Channel_Volume(double& value);
    static void MetaSync(audio::SyncHandle sync, audio::StreamHandle stream, void* user);

    // Page (ChannelDisplay.cpp).
    void ShowStatusWord(const LanguageKey& word, const QColor& color);
    // The meter from a tick: only while the page can be seen.
    void TickLevels() {
        if (m_view->presenting()) {
            ShowLevels();
        }
    }
    void ShowGauge(int percent);
    void ShowLevels();
    void ShowErrorMSG();
    // A line "Ch <n>: <text>" in the event log (when logging is on).
    void LogLine(const QString& text);
    void ShowVolume();
    void DrawSilenceAndBreaker();

    ChannelContext& m_ctx;
    audio::IAudioEngine& m_engine;
    IChannelView* m_view;
    NullChannelView m_nullView;
    const int m_index;

    std::deque<std::int64_t> m_reconnectLog;
    std::unique_ptr<TConnectThread> m_thread;
    TQVFader m_fader;
    QString m_url;
    std::uint32_t m_freq = 0;
    std::uint32_t m_chans = 0;
    TStreamABuffer m_streamBuffer;
    std::uint8_t m_inChild = 0;
    std::uint8_t m_inChildBefore = 0;  // InChild before its last change
    double m_channelVolume = 0;
    double m_lastBufferPercent = 0;
    std::int64_t m_nowTick = 0;
    std::int64_t m_reconnectAt = 0;
    std::int64_t m_playStart = 0;
    std::int64_t m_breakStart = 0;
    std::uint8_t m_errorCount = 0;
    bool m_inBreak = false;
    bool m_breakDue = false;  // three reconnects within a minute: declare at once
    TSilence m_silence;
    audio::StreamHandle m_stream = 0;
    audio::StreamHandle m_oldStream = 0;
    ChannelStatus m_status = ChannelStatus::Stop;
    bool m_always = false;
    // Set by the metadata callback on the reader thread, cleared by DoMeta. A
    // lost or doubled setting costs one metadata read more or less.
    std::atomic<bool> m_metaChanged{false};
    QString m_message;
    bool m_messageChanged = false;
    TapContext m_tap;
    audio::DspHandle m_dspHandle = 0;
    audio::StreamHandle m_dspStream = 0;  // the stream the tap is installed on
    std::uint32_t m_stallsSeen = 0;       // of the playing stream, already logged
    std::uint32_t m_rejoinsSeen = 0;      // the same for restored connections
    std::uint32_t m_rejoinGapsSeen = 0;
    bool m_titleChanged = false;
    QString m_stationName;
    QString m_bitrateText;
    QString m_infoLine;
    QString m_title;
    std::string m_rawTitle;  // as the stream sent it, to notice a change
    RestartPlan m_plan;
    double m_nextRestart = 0;
    bool m_restarting = false;
    bool m_lookEnabled = false;

    // What the page shows now, so that a tick only redraws what changed.
    struct Shown {
        QString statusWord;
        QColor statusColor;
        // The word's key and the language it was looked up in: the lookup is
        // repeated only when either changes.
        const LanguageKey* statusKey = nullptr;
        std::uint64_t statusRevision = 0;
        // Counter texts change once a second (a tenth for the reconnect
        // countdown); they are formatted again only then.
        struct Counter {
            std::int64_t since = 0;
            std::int64_t units = 0;
            bool negative = false;
            QString text;
        };
        Counter playCounter, breakCounter, connectCounter;
        int gauge = -1;
        int slider = -1;
        QString breakTime, playTime, toConnect;
        bool toConnectRed = false;
        bool countersSet = false;
        QColor indicatorColor;
        double indicatorRatio = -1;
    } m_shown;
};

}  // namespace qvm
