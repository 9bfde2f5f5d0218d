// What the channel shows on its page. Every value is computed here; the view
// only draws, and is called only when a value changes.

#include <algorithm>
#include <cmath>

#include "channel/Channel.h"
#include "channel/ChannelContext.h"
#include "channel/ChannelDisplay.h"
#include "config/Settings.h"
#include "core/DurationFormat.h"
#include "core/EventLog.h"
#include "lang/Language.h"

namespace qvm {

QColor GetGradColor(const QColor& target, const QColor& background, double ratio) {
    const auto mix = [ratio](int t, int b) {
        return std::clamp(static_cast<int>(std::trunc((t - b) * ratio + b)), 0, 255);
    };
    return QColor(mix(target.red(), background.red()), mix(target.green(), background.green()),
                  mix(target.blue(), background.blue()));
}

void TfrChannelForm::ShowStatusWord(const LanguageKey& word, const QColor& color) {
    // A language chosen meanwhile shows at the next tick.
    const std::uint64_t revision = m_ctx.language.Revision();
    if (&word == m_shown.statusKey && revision == m_shown.statusRevision &&
        color == m_shown.statusColor) {
        return;
    }
    m_shown.statusKey = &word;
    m_shown.statusRevision = revision;
    const QString text = m_ctx.language.Text(word);
    if (text != m_shown.statusWord || color != m_shown.statusColor) {
        m_shown.statusWord = text;
        m_shown.statusColor = color;
        m_view->setStatusWord(text, color);
    }
}

void TfrChannelForm::ShowGauge(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent != m_shown.gauge) {
        m_shown.gauge = percent;
        m_view->setGauge(percent);
    }
}

void TfrChannelForm::ShowLevels() {
    const PeakDb level = Get_Channel_Level();
    m_view->setLevels(level.left, level.right);
}

void TfrChannelForm::ShowVolume() {
    const int position = static_cast<int>(m_channelVolume * 100);
    if (position != m_shown.slider) {
        m_shown.slider = position;
        m_view->setVolumeSlider(position);
    }
}

void TfrChannelForm::ShowErrorMSG() {
    if (!m_messageChanged) {
        return;
    }
    m_messageChanged = false;
    m_view->setMessage(m_message);
    if (!m_message.isEmpty()) {
        LogLine(m_message);
    }
}

void TfrChannelForm::LogLine(const QString& text) {
    if (m_ctx.log != nullptr) {
        m_ctx.log->Log(QStringLiteral("Ch %1: %2").arg(m_index + 1).arg(text));
    }
}

void TfrChannelForm::DrawSilenceAndBreaker() {
    const PlayerSettings& s = m_ctx.settings;
    const auto seconds = [this](std::int64_t since) { return (m_nowTick - since) / 1000.0; };
    const auto counter = [this](Shown::Counter& memo, std::int64_t since, std::uint32_t code,
                                std::int64_t unitMs) -> const QString& {
        const std::int64_t elapsed = m_nowTick - since;
        const std::int64_t units = elapsed / unitMs;
        const bool negative = elapsed < 0;
        if (memo.text.isNull() || memo.since != since || memo.units != units ||
            memo.negative != negative) {
            memo = {since, units, negative, FormatSeconds(code, elapsed / 1000.0)};
        }
        return memo.text;
    };

    const QString playTime =
        m_playStart > 0 ? counter(m_shown.playCounter, m_playStart, 0, 1000) : QString();
    const QString breakTime =
        m_breakStart > 0 ? counter(m_shown.breakCounter, m_breakStart, 0, 1000) : QString();
    QString toConnect;
    const bool red = m_reconnectAt > 0;
    if (red) {
        toConnect = counter(m_shown.connectCounter, m_reconnectAt, 6, 100);
    } else if (m_nextRestart > 0) {
        toConnect = FormatDays(0, m_nextRestart - Wall());
    }
    if (!m_shown.countersSet || playTime != m_shown.playTime || breakTime != m_shown.breakTime ||
        toConnect != m_shown.toConnect || red != m_shown.toConnectRed) {
        m_shown.countersSet = true;
        m_shown.playTime = playTime;
        m_shown.breakTime = breakTime;
        m_shown.toConnect = toConnect;
        m_shown.toConnectRed = red;
        m_view->setCounters(breakTime, playTime, toConnect, red);
    }

    QColor color = kIndicatorBackground;
    double ratio = 0;
    if (m_breakStart > 0) {
        if (m_inBreak && m_status == ChannelStatus::Play) {
            ratio = s.ConnectTime > 0 ? seconds(m_playStart) / s.ConnectTime : 0;
            color = kIndicatorGreen;
        } else {
            ratio = s.BreakTime > 0 ? seconds(m_breakStart) / s.BreakTime : 0;
            color = kIndicatorRed;
        }
    } else if (m_silence.Time() >= 0.1 && m_silence.Mode() != TSilence::Off) {
        ratio = m_silence.Accum() / m_silence.Time();
        color = m_silence.Mode() == TSilence::WatchSilence ? kIndicatorYellow : kIndicatorGreen;
    }
    ratio = std::clamp(ratio, 0.0, 1.0);
    const QColor graded = GetGradColor(color, kIndicatorBackground, ratio);
    if (ratio != m_shown.indicatorRatio || graded != m_shown.indicatorColor) {
        m_shown.indicatorRatio = ratio;
        m_shown.indicatorColor = graded;
        m_view->setIndicator(graded, ratio);
    }
}

void TfrChannelForm::ShowPlayButton(bool enabled) {
    m_view->showPlayButton(enabled);
}

void TfrChannelForm::ShowLookButton() {
    int image = m_status != ChannelStatus::Stop ? 1 : 0;
    const int onAir = m_ctx.onAirIndex.load(std::memory_order_relaxed);
    if (m_always || onAir == m_index || onAir < 0) {
        image = 3;
    }
    m_lookEnabled = image != 3;
    m_view->showLookButton(image);
}

void TfrChannelForm::SBPlayClick() {
    if (OnPressPlay) {
        OnPressPlay(m_index);
    }
}

void TfrChannelForm::SBLookClick() {
    if (!m_lookEnabled) {
        return;
    }
    if (m_status != ChannelStatus::Stop) {
        Stop();
    } else {
        Play();
    }
}

void TfrChannelForm::LabStatusDblClick() {
    std::int64_t position = -1;
    bool moved = false;
    if (m_stream != 0) {
        position = m_engine.ChannelGetPosition(m_stream);
        moved = position >= 0 && m_engine.ChannelSetPosition(m_stream, position + 19200);
    }
    m_view->setMessage(QString::number(position) + QLatin1Char(' ') +
                       (moved ? QStringLiteral("True") : QStringLiteral("False")));
}

}  // namespace qvm
