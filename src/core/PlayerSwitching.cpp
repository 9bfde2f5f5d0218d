// The switching controller: which channel is on air, starting and stopping the
// output, and the hand-over from a failing channel to a substitute and back.
// Every change of channel is a cross-fade of the two channels' faders; the
// whole output starts and stops with a ramp of the main fader. UI thread.

#include "channel/Channel.h"
#include "core/Helpers.h"
#include "core/Player.h"
#include "core/ShellOpen.h"
#include "core/TimeBase.h"

namespace qvm {

namespace {

constexpr int kSubordination = 0;
constexpr int kCycle = 1;

bool Running(const TfrChannelForm& ch) {
    return ch.Status() != ChannelStatus::Stop;
}

}  // namespace

void Player::MainPlay(bool fadeIn) {
    const int onAir = OnAirIndex();
    if (!validIndex(onAir) || !m_mainFader) {
        return;
    }
    const PlayerSettings& s = m_config.settings;
    // A start cancels a fading stop still under way; otherwise the end of this
    // ramp would stop the output it has just started.
    m_mainFader->OnEnd = [this](TQVFader&, double v) { OnMainFader(v); };
    if (fadeIn) {
        m_mainFader->FadeTo(s.Volume, s.FadeIn);
    } else {
        m_mainFader->FadeTo(0, s.FadeOut);
    }
    Channel(onAir).Play();
    for (int i = 0; i < ChannelCount(); ++i) {
        if (i != onAir && Channel(i).Always()) {
            Channel(i).Play();
        }
    }
    m_playing = true;
    ShowStatusPlayStop();
}

void Player::MainStop(bool fade, bool withProgress) {
    if (fade) {
        if (m_mainFader) {
            m_mainFader->OnEnd = [this](TQVFader&, double v) { FinishAndStop(v); };
            m_mainFader->FadeTo(0, m_config.settings.FadeOut);
        }
        if (withProgress) {
            m_view->closeStopProgress();
        }
        return;
    }
    m_playing = false;
    ShowStatusPlayStop();
    const int n = ChannelCount();
    for (int i = n - 1; i >= 0; --i) {
        if (withProgress) {
            PumpMessages(false);
            m_view->setStopProgress((n - i - 1) * 100 / n);
            PumpMessages(false);
        }
        // Events pumped above may have changed the list (the settings dialog).
        if (i < ChannelCount()) {
            Channel(i).Stop();
        }
    }
    if (withProgress) {
        m_view->setStopProgress(100);
        PumpMessages(false);
    }
    ShowStatusPlayStop();
    // The studio program is not told, but the window stops showing a silence
    // that no longer exists.
    if (m_silenceState) {
        setSilence(false);
    }
    SetOnAirIndex(0);
    m_pressedChannel = -1;
    m_restoreFloor = 0;
    if (withProgress) {
        m_view->closeStopProgress();
    }
}

void Player::FinishAndStop(double value) {
    if (m_mainFader) {
        m_mainFader->OnEnd = [this](TQVFader&, double v) { OnMainFader(v); };
    }
    OnMainFader(value);
    MainStop(false, false);
}

void Player::OnMainFader(double value) {
    SetVolumeTrackBar(static_cast<int>(value));
}

void Player::TBVolumeChange() {
    m_ctx->mainVolume.store(m_volumePosition, std::memory_order_relaxed);
    const int onAir = OnAirIndex();
    if (validIndex(onAir)) {
        Channel(onAir).Update_MainVolume();
    }
}

void Player::ShowStatusPlayStop() {
    m_view->showPlayState(m_playing);
    if (!m_playing) {
        SetOnAirIndex(-1);
    }
    ChangeActiveChannel();
}

void Player::ChangeActiveChannel() {
    const int onAir = OnAirIndex();
    for (int i = 0; i < ChannelCount(); ++i) {
        Channel(i).ShowPlayButton(m_playing && i != onAir);
        Channel(i).ShowLookButton();
    }
}

void Player::ChannelPressPlayBtn(int index) {
    if (index == OnAirIndex() || !validIndex(index)) {
        return;
    }
    m_restoreFloor = m_config.settings.SwitchMode == kSubordination ? index : 0;
    m_pressedChannel = index;
    if (Running(Channel(index))) {
        ExecutePressFadeIn(index, true);
    } else {
        // The fade-in follows in OnPlayChannel once it plays.
        Channel(index).Play();
    }
}

void Player::ExecutePressFadeIn(int index, bool fadeIn) {
    if (index != m_pressedChannel || !validIndex(index)) {
        return;
    }
    m_pressedChannel = -1;
    TfrChannelForm& ch = Channel(index);
    ch.Init_Status();
    for (int i = 0; i < ChannelCount(); ++i) {
        if (i != index && Running(Channel(i))) {
            Channel(i).StopByFader();
        }
    }
    if (fadeIn) {
        ch.Fader().FadeTo(1.0, m_config.settings.ChFadeIn);
    }
    ch.setTitleChanged(true);
    SetOnAirIndex(index);
    ChangeActiveChannel();
}

void Player::OnPlayChannel(int index) {
    if (!validIndex(index)) {
        return;
    }
    if (index == m_pressedChannel) {
        ExecutePressFadeIn(index, false);
    }
    if (index == OnAirIndex()) {
        Channel(index).Fader().FadeTo(1.0, m_config.settings.ChFadeIn);
    }
}

void Player::PlayChild(int index) {
    // Only the channel on air causes a switch.
    if (index != OnAirIndex() || !validIndex(index)) {
        return;
    }
    const PlayerSettings& s = m_config.settings;
    const std::uint8_t faults = Channel(index).InChild();
    const int n = ChannelCount();
    int substitute = -1;
    if (s.SwitchMode == kSubordination) {
        for (int c = index + 1; c < n; ++c) {
            if (Channel(c).InChild() == 0) {
                substitute = c;
                break;
            }
        }
    } else if (s.SwitchMode == kCycle) {
        for (int c = (index + 1) % n; c != index; c = (c + 1) % n) {
            if (Channel(c).InChild() == 0) {
                substitute = c;
                break;
            }
        }
    } else {
        return;
    }
    if ((faults & s.SwitchBy) == 0) {
        substitute = -1;
    }

    if (substitute < 0) {
        // The channel stays on air; the studio program hears of it once.
        if (!m_silenceState && m_studio) {
            m_studio->Broadcast(kNoteSilence, static_cast<std::uint16_t>(index));
        }
        setSilence(true);
        return;
    }

    TfrChannelForm& failing = Channel(index);
    if (s.SwitchMode == kCycle) {
        failing.StopByFader();  // stopped at the end of the fade unless Always
    }
    failing.Fader().FadeTo(0, s.ChFadeOut);
    TfrChannelForm& next = Channel(substitute);
    if (next.Status() == ChannelStatus::Stop) {
        next.Play();  // faded in by OnPlayChannel once it plays
    } else {
        next.Fader().FadeTo(1.0, s.ChFadeIn);
    }
    SetOnAirIndex(substitute);
    next.setTitleChanged(true);
    runProgram(s.RunOnChange);
    m_view->showChannelPage(substitute);
    ChangeActiveChannel();
}

void Player::StopChild(int index) {
    if (index < m_restoreFloor || !validIndex(index)) {
        return;
    }
    const PlayerSettings& s = m_config.settings;
    const int onAir = OnAirIndex();
    if (s.SwitchMode == kSubordination) {
        for (int i = index + 1; i < ChannelCount(); ++i) {
            Channel(i).StopByFader();
        }
        // A channel of lower priority than the one on air stays as it is.
        if (index > onAir) {
            return;
        }
    } else if (s.SwitchMode == kCycle) {
        if (index == onAir) {
            return;
        }
        if (validIndex(onAir)) {
            if (Channel(onAir).Status() == ChannelStatus::Play) {
                return;
            }
            Channel(onAir).StopByFader();
        }
    } else {
        return;
    }

    Channel(index).Fader().FadeTo(1.0, s.ChFadeIn);
    SetOnAirIndex(index);
    if (m_silenceState) {
        if (m_studio) {
            m_studio->Broadcast(kNoteOnline, static_cast<std::uint16_t>(index));
        }
        setSilence(false);
    }
    runProgram(s.RunOnRestore);
    m_view->showChannelPage(index);
    ChangeActiveChannel();
}

void Player::setSilence(bool silence) {
    m_silenceState = silence;
    m_view->setSilenceState(silence);
}

void Player::runProgram(const QString& path) const {
    // Started and forgotten: a program that fails or hangs is none of ours.
    if (!path.isEmpty()) {
        OpenDetached(path, m_options.documentOpener);
    }
}

// --- the channel list ---

void Player::connectChannel(TfrChannelForm& ch) {
    ch.OnPressPlay = [this](int i) { ChannelPressPlayBtn(i); };
    ch.OnPlayChild = [this](int i) { PlayChild(i); };
    ch.OnStopChild = [this](int i) { StopChild(i); };
    ch.OnOnline = [this](int i) { OnPlayChannel(i); };
}

void Player::removeLastChannel() {
    // The channel draws on its page: it goes first.
    m_channels.pop_back();
    m_view->removeLastChannelPage();
}

void Player::Update_Channels() {
    m_view->setInteractive((m_config.settings.SourceMode & 2) != 0);
    const int wanted = static_cast<int>(m_config.channels.size());
    while (ChannelCount() > wanted) {
        removeLastChannel();
    }
    for (int i = 0; i < wanted; ++i) {
        if (i >= ChannelCount()) {
            IChannelView* page = m_view->addChannelPage();
            m_channels.push_back(std::make_unique<TfrChannelForm>(*m_ctx, i, page));
            connectChannel(*m_channels.back());
        }
        TfrChannelForm& ch = Channel(i);
        const ChannelSettings& data = *m_config.channels[i];
        const bool running = Running(ch);
        const bool urlChanged = ch.URL() != CutUtf8(data.URL, kLongTextBytes);
        ch.SetData(data);
        if (running && !urlChanged) {
            continue;  // a new amplification or plan does not interrupt it
        }
        if (ch.Always() || (running && urlChanged)) {
            if (running) {
                ch.Stop();
            }
            ch.Play();
        }
    }
    moveAirIntoList();
    ChangeActiveChannel();
    m_view->labelChannelTabs();
}

// The channel on air may have been removed from the list. While playing, the
// first channel takes the air as if its play button had been pressed, so that
// the relay is not left silent with nothing to switch from; while stopped, the
// next start begins with the first channel. Before the device has started the
// index stays -1 (the device start-up chooses).
void Player::moveAirIntoList() {
    if (!m_deviceStarted || m_closing) {
        return;
    }
    const int onAir = OnAirIndex();
    if (validIndex(onAir)) {
        return;
    }
    if (!m_playing) {
        SetOnAirIndex(ChannelCount() > 0 ? 0 : -1);
        return;
    }
    if (ChannelCount() == 0) {
        MainStop(false, false);
        SetOnAirIndex(-1);
        return;
    }
    ChannelPressPlayBtn(0);
}

}  // namespace qvm
