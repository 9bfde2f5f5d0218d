#include "channel/Channel.h"

#include <algorithm>
#include <cmath>

#include "channel/ChannelContext.h"
#include "channel/StreamText.h"
#include "config/Settings.h"
#include "core/Helpers.h"
#include "lang/Language.h"

namespace qvm {

namespace {
constexpr std::int64_t kReconnectLogWindowMs = 60000;
constexpr std::uint8_t kMaxErrorCount = 20;
constexpr double kMsPerDay = 86400000.0;
}  // namespace

TfrChannelForm::TfrChannelForm(ChannelContext& ctx, int index, IChannelView* view)
    : m_ctx(ctx),
      m_engine(ctx.engine),
      m_view(view != nullptr ? view : &m_nullView),
      m_index(index),
      m_fader(ctx.wallClock),
      // Break timing starts from NowTick: a Play before the first tick must
      // not see 0 ("not timing").
      m_nowTick(static_cast<std::int64_t>(TickCount64())) {
    m_fader.SetValue(0);
    const auto setVolume = [this](TQVFader&, double v) { Fader_SetVolume(v); };
    m_fader.OnChange = setVolume;
    m_fader.OnEnd = setVolume;
    m_fader.OnStart = setVolume;
    m_silence.SetMode(TSilence::Off, 0, 0);
    m_silence.OnDetect = [this](TSilence&, std::uint8_t mode) { onSilence(mode); };
    m_streamBuffer.Init(kChannelQueueSlots);
    m_tap.ctx = &m_ctx;
    m_tap.queue = &m_streamBuffer;
    m_tap.index = m_index;
    m_view->showLookButton(0);
    m_view->setInfoLines({}, {}, {});
    m_view->setLevels(-90.3, -90.3);
}

TfrChannelForm::~TfrChannelForm() {
    SetStatus(ChannelStatus::Stop);
    if (m_thread) {
        // Aborted by the stop above, so the wait is short.
        m_thread->Join();
        if (m_thread->Handle() != 0) {
            m_engine.StreamFree(m_thread->Handle());
        }
        m_thread.reset();
    }
    CloseOldURL();
    CloseURL();
    m_streamBuffer.Clear(true);
}

// --- operations ---

void TfrChannelForm::SetData(const ChannelSettings& data) {
    m_url = CutUtf8(data.URL, kLongTextBytes);
    m_view->setCaption(m_url);
    m_always = data.Always;
    m_tap.ampGain.store(data.Amp != 0 ? CalcAmplifier(data.Amp / 10.0) : 1.0,
                        std::memory_order_relaxed);
    m_plan = RestartPlan::Unpack(data.Restart);
    if (m_playStart > 0) {
        const double now = Wall();
        const double began = now - static_cast<double>(m_nowTick - m_playStart) / kMsPerDay;
        m_nextRestart = PlanRestart_CalcNewRestart(m_plan, began, now);
    }
}

double TfrChannelForm::CalcAmplifier(double dB) {
    return Power10(std::clamp(dB, -20.0, 20.0) / 20.0);
}

void TfrChannelForm::Play() {
    if (m_status == ChannelStatus::Stop) {
        SetStatus(ChannelStatus::Connect);
    }
    ShowLookButton();
}

void TfrChannelForm::Stop() {
    m_inChild = 0;
    SetStatus(ChannelStatus::Stop);
    m_silence.SetMode(TSilence::Off, 0, 0);
    m_message.clear();
    m_messageChanged = false;
    m_view->setMessage({});
    DrawSilenceAndBreaker();
    ShowLevels();
    m_stationName.clear();
    m_bitrateText.clear();
    m_title.clear();
    m_rawTitle.clear();
    m_chans = 0;
    UpdateTitle();  // tells the studio program the empty title if this channel is on air
    ShowLookButton();
}

void TfrChannelForm::StopByFader() {
    if (!m_always) {
        m_silence.SetMode(TSilence::Off, 0, 0);
        SetInChild(kChildSilence, false);  // no event: the controller is taking it off air
    }
    if (m_always) {
        m_fader.OnEnd = [this](TQVFader&, double v) { Fader_SetVolume(v); };
    } else {
        m_fader.OnEnd = [this](TQVFader&, double v) { FinishAndStop(v); };
    }
    m_fader.FadeTo(0, m_ctx.settings.ChFadeOut);
}

void TfrChannelForm::FinishAndStop(double value) {
    Fader_SetVolume(value);
    Stop();
    m_fader.OnEnd = [this](TQVFader&, double v) { Fader_SetVolume(v); };
}

void TfrChannelForm::Fader_SetVolume(double value) {
    Set_Channel_Volume(value);
    m_channelVolume = value;
    ShowVolume();
}

void TfrChannelForm::Update_MainVolume() {
    double v = m_channelVolume;
    Set_Channel_Volume(v);
}

void TfrChannelForm::ArmSilence() {
    const PlayerSettings& s = m_ctx.settings;
    m_silence.SetMode(TSilence::WatchSilence, s.SilenceTime, s.SilenceLevel);
}

void TfrChannelForm::Init_Status() {
    m_inChild = 0;
    ArmSilence();
    m_inBreak = false;
    m_breakStart = 0;
    m_breakDue = false;
    if (m_reconnectAt > 0) {
        m_reconnectAt = m_nowTick;
    }
}

double TfrChannelForm::Wall() const {
    return m_ctx.wallClock();
}

// --- the tick ---

void TfrChannelForm::Tick(std::int64_t now) {
    m_nowTick = now;
    if (ThreadComplete()) {
        switch (m_status) {
            case ChannelStatus::Stop:
                TickStop();
                break;
            case ChannelStatus::Connect:
                TickConnect();
                break;
            case ChannelStatus::Buffer:
                TickBuffer();
                break;
            case ChannelStatus::Play:
                TickPlay();
                break;
            case ChannelStatus::Error:
                TickError();
                break;
        }
    }
    Work_With_StreamBuffer();
    ShowVolume();
    ShowErrorMSG();
    // Counters, indicator and meter change with every tick; nobody sees them
    // on a page that is not shown, which catches up the moment it is.
    if (m_view->presenting()) {
        DrawSilenceAndBreaker();
    }
    CheckRestarter();
}

bool TfrChannelForm::ThreadComplete() {
    if (!m_thread) {
        return true;
    }
    if (!m_thread->Done()) {
        return false;
    }
    const std::unique_ptr<TConnectThread> thread = std::move(m_thread);
    const audio::StreamHandle handle = thread->Handle();
    if (thread->Aborted()) {
        // Left behind by Stop: whatever it opened is no one's.
        if (handle != 0) {
            m_engine.StreamFree(handle);
        }
        return true;
    }
    if (!m_restarting) {
        CloseURL();
    }
    m_stream = handle;
    if (m_status == ChannelStatus::Stop) {
        CloseURL();
    } else if (m_stream != 0) {
        m_message.clear();
        m_messageChanged = true;
        SetStatus(ChannelStatus::Buffer);
    } else {
        const std::int32_t code = thread->ErrorCode() != 0 ? thread->ErrorCode() : -1;
        SetMessage(ErrorText(m_ctx.language, code));
        SetError();
    }
    return true;
}

void TfrChannelForm::SetMessage(const QString& text) {
    if (text != m_message) {
        m_message = CutUtf8(text, kLongTextBytes);
        m_messageChanged = true;
    }
}

void TfrChannelForm::SetError() {
    CloseOldURL();
    CloseURL();
    ShowGauge(0);
    ShowStatusWord(keys::msg::Error, QColor(255, 0, 0));
    SetStatus(ChannelStatus::Error);
}

void TfrChannelForm::SetStatus(ChannelStatus status) {
    if (status == m_status) {
        return;
    }
    m_status = status;
    switch (status) {
        case ChannelStatus::Stop:
            // The UI thread never waits for the network: the attempt is told to
            // give up and is collected by a later tick (or the destructor).
            if (m_thread) {
                m_thread->Abort();
            }
            m_reconnectAt = 0;
            m_playStart = 0;
            m_breakStart = 0;
            m_errorCount = 0;
            m_inBreak = false;
            m_breakDue = false;
            CloseOldURL();  // a stopped channel is silent, also during a planned restart
            CloseURL();
            m_nextRestart = 0;
            break;
        case ChannelStatus::Connect:
            m_reconnectAt = 0;
            m_playStart = 0;
            if (m_breakStart == 0 && !m_inBreak) {
                m_breakStart = m_nowTick;
            }
            break;
        case ChannelStatus::Buffer:
            m_reconnectAt = m_nowTick + static_cast<std::int64_t>(m_ctx.settings.Buffer * 1000);
            break;
        case ChannelStatus::Play:
            m_reconnectAt = 0;
            m_errorCount = 0;
            m_playStart = m_nowTick;
            if (!m_inBreak) {
                m_breakStart = 0;
                m_breakDue = false;
            }
            break;
        case ChannelStatus::Error:
            CloseURL();
            m_nextRestart = 0;
            m_lastBufferPercent = 0;
            if (m_errorCount < kMaxErrorCount) {
                ++m_errorCount;
            }
            m_reconnectAt = m_nowTick + m_errorCount * 1000;
            m_playStart = 0;
            break;
    }
}

void TfrChannelForm::TickStop() {
    m_reconnectAt = 0;
    CloseURL();
    ShowStatusWord(keys::msg::Stop, QColor(0, 0, 0));
    ShowGauge(0);
}

void TfrChannelForm::TickConnect() {
    m_reconnectAt = 0;
    if (m_errorCount == 0) {
        ShowStatusWord(keys::msg::Connect, QColor(128, 128, 0));
    }
    TickLevels();
    ShowGauge(0);
    StartConnect();
}

void TfrChannelForm::TickBuffer() {
    if (m_engine.StreamGetFilePosition(m_stream, audio::FilePos::Connected) <= 0) {
        return;  // the buffering watchdog keeps running
    }
    ShowStatusWord(keys::msg::Buffer, QColor(128, 128, 0));
    const double p = Get_Buffer_Percent();
    ShowGauge(static_cast<int>(p));
    TickLevels();
    if (p > m_lastBufferPercent) {
        m_reconnectAt = m_nowTick + static_cast<std::int64_t>(m_ctx.settings.Buffer * 1000);
    }
    m_lastBufferPercent = p;
    if (p > 90) {
        if (m_restarting) {
            CloseOldURL();
        }
        RunPlay();
        ArmSilence();
        if (SetInChild(kChildSilence, false)) {
            StartStopChild();
        }
        if (OnOnline) {
            OnOnline(m_index);
        }
        m_messageChanged = false;
        m_message = m_ctx.language.Text(keys::msg::Online);
        m_view->setMessage(m_message);
    }
}

bool TfrChannelForm::CheckStreamHealth() {
    audio::StreamStats stats;
    if (!m_engine.ChannelGetStats(m_stream, stats)) {
        return true;  // gone: the watchdog below sees the empty buffer
    }
    if (stats.error != audio::kErrOk) {
        // The reader gave up on what the server sends (no decodable audio):
        // a failed connection like a failed open, with its back-off and log
        // line, rather than an endless round of immediate reconnects. It
        // counts as a reconnect, so that a server that fails this way again
        // and again is a break, and a substitute takes the air.
        NoteReconnect();
        SetMessage(ErrorText(m_ctx.language, stats.error));
        SetError();
        return false;
    }
    if (stats.stalls > m_stallsSeen) {
        m_stallsSeen = stats.stalls;
        LogLine(m_ctx.language.Text(keys::msg::Stalled));
    }
    if (stats.rejoins > m_rejoinsSeen) {
        // Nobody heard it, but the link blipped: the engineer should know.
        const bool gap = stats.rejoinGaps > m_rejoinGapsSeen;
        m_rejoinsSeen = stats.rejoins;
        m_rejoinGapsSeen = stats.rejoinGaps;
        LogLine(m_ctx.language.Text(gap ? keys::msg::RejoinedGap : keys::msg::Rejoined));
    }
    return true;
}

void TfrChannelForm::TickPlay() {
    if (!CheckStreamHealth()) {
        return;
    }
    if (m_silence.Mode() == TSilence::WatchSound) {
        ShowStatusWord(keys::msg::Silence, QColor(128, 128, 0));
    } else {
        ShowStatusWord(keys::msg::Online, QColor(0, 128, 0));
    }
    TickLevels();
    const double prev = m_lastBufferPercent;
    m_lastBufferPercent = Get_Buffer_Percent();
    ShowGauge(static_cast<int>(m_lastBufferPercent));

    // Underrun watchdog: an empty or nearly empty buffer that does not fill up.
    if (prev < m_lastBufferPercent) {
        m_reconnectAt = 0;
    } else {
        const auto t = static_cast<int>(m_lastBufferPercent);
        if (t <= 0 && m_reconnectAt <= 0) {
            m_reconnectAt = m_nowTick + 100;
        } else if (t >= 1 && t <= 5 && m_reconnectAt <= 0) {
            m_reconnectAt = m_nowTick + 1000;
        }
    }

    if (m_nextRestart > 0 && Wall() > m_nextRestart &&
        ((m_plan.flags & RestartPlan::kOnlyWhenStudioPlays) == 0 || m_ctx.MainFaderValue() == 0)) {
        m_nextRestart = 0;
        // The playing stream moves aside and stays audible until the new one
        // has buffered.
        m_oldStream = m_stream;
        m_stream = 0;
        m_restarting = true;
        SetStatus(ChannelStatus::Connect);
    }
    DoMeta();
}

void TfrChannelForm::TickError() {
    TickLevels();
}

// --- break, reconnect, silence ---

void TfrChannelForm::CheckRestarter() {
    if (m_status == ChannelStatus::Stop) {
        return;
    }
    if (m_inBreak) {
        if (m_playStart > 0) {
            CheckRestarter_InBreak();
        }
    } else if (m_breakStart > 0 || m_breakDue) {
        CheckRestarter_Normal();
    }
    CheckRestarter_rTick();
}

void TfrChannelForm::CheckRestarter_Normal() {
    if (!m_breakDue &&
        m_nowTick - m_breakStart < static_cast<std::int64_t>(m_ctx.settings.BreakTime * 1000)) {
        return;
    }
    m_breakDue = false;
    m_inBreak = true;
    onBreak(true);
}

void TfrChannelForm::CheckRestarter_InBreak() {
    if (m_nowTick - m_playStart < static_cast<std::int64_t>(m_ctx.settings.ConnectTime * 1000)) {
        return;
    }
    if (m_ctx.settings.RestoreMode && m_ctx.MainFaderValue() > 0) {
        return;
    }
    m_inBreak = false;
    m_breakStart = 0;
    onBreak(false);
}

void TfrChannelForm::CheckRestarter_rTick() {
    if (!m_reconnectLog.empty() && m_reconnectLog.front() < m_nowTick - kReconnectLogWindowMs) {
        m_reconnectLog.pop_front();
    }
    if (m_reconnectAt <= 0 || m_nowTick < m_reconnectAt) {
        return;
    }
    if (m_status != ChannelStatus::Error) {
        NoteReconnect();
    }
    if (m_status == ChannelStatus::Buffer) {
        SetMessage(ErrorText(m_ctx.language, audio::kErrBufLost));
        SetStatus(ChannelStatus::Error);
    } else {
        SetStatus(ChannelStatus::Connect);
    }
    CloseURL();
}

void TfrChannelForm::NoteReconnect() {
    if (m_inBreak) {
        return;
    }
    m_reconnectLog.push_back(m_nowTick);
    if (m_reconnectLog.size() > 2) {
        // Three reconnects within a minute: a break, declared on the next
        // tick. The flag makes it so also when the tick count is still
        // smaller than BreakTime (BreakStart cannot go below 1).
        m_breakStart = std::max<std::int64_t>(
            1, m_nowTick - static_cast<std::int64_t>(m_ctx.settings.BreakTime * 1000));
        m_breakDue = true;
    }
}

void TfrChannelForm::onBreak(bool on) {
    if (SetInChild(kChildBreak, on)) {
        StartStopChild();
    }
}

bool TfrChannelForm::SetInChild(std::uint8_t bit, bool on) {
    if ((m_ctx.settings.SwitchBy & bit) == 0) {
        return false;
    }
    const std::uint8_t before = m_inChild;
    m_inChild = on ? (m_inChild | bit) : (m_inChild & ~bit);
    if (m_inChild != before) {
        m_inChildBefore = before;
        return true;
    }
    return false;
}

void TfrChannelForm::StartStopChild() {
    // Once when the first fault appears and once when the last one goes: a
    // second fault of a channel already reported changes nothing for the
    // controller.
    if (m_inChild != 0 && m_inChildBefore != 0) {
        return;
    }
    const Event& event = m_inChild != 0 ? OnPlayChild : OnStopChild;
    if (event) {
        event(m_index);
    }
}

void TfrChannelForm::onSilence(std::uint8_t mode) {
    const PlayerSettings& s = m_ctx.settings;
    if (mode == TSilence::WatchSilence) {
        m_silence.SetMode(TSilence::WatchSound, s.RestoreTime, s.SilenceLevel);
        if (SetInChild(kChildSilence, true)) {
            StartStopChild();
        }
    } else if (mode == TSilence::WatchSound) {
        m_silence.SetMode(TSilence::WatchSilence, s.SilenceTime, s.SilenceLevel);
        if (SetInChild(kChildSilence, false)) {
            StartStopChild();
        }
    } else {
        m_silence.SetMode(TSilence::Off, 0, 0);
    }
}

}  // namespace qvm
