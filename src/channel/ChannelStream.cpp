// The channel's stream: connect attempts, playback, metadata, the sample tap
// and the block queue.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <thread>

#include "channel/Channel.h"
#include "channel/ChannelContext.h"
#include "channel/StreamText.h"
#include "config/Settings.h"
#include "lang/Language.h"

namespace qvm {

void TfrChannelForm::StartConnect() {
    const std::string url = m_url.toStdString();
    const bool hls = IsHlsUrl(url) && m_engine.HlsSupported();
    m_thread = std::make_unique<TConnectThread>(m_engine, url, hls);
}

void TfrChannelForm::RunPlay() {
    GetHTTPInfo();
    m_tap.freq.store(m_freq, std::memory_order_relaxed);
    m_tap.chans.store(m_chans, std::memory_order_relaxed);
    m_metaChanged.store(true, std::memory_order_relaxed);
    m_engine.ChannelSetSync(m_stream, &TfrChannelForm::MetaSync, &m_metaChanged);
    m_stallsSeen = 0;
    m_rejoinsSeen = 0;
    m_rejoinGapsSeen = 0;
    m_dspHandle = m_engine.ChannelSetDSP(m_stream, &SampleTap, &m_tap, 0);
    m_dspStream = m_dspHandle != 0 ? m_stream : 0;
    // Silent until the fader and the controller bring it up on air.
    m_engine.ChannelSetVolume(m_stream, 0.0f);
    m_engine.ChannelPlay(m_stream);
    SetStatus(ChannelStatus::Play);
    const double now = Wall();
    m_nextRestart = PlanRestart_CalcNewRestart(m_plan, now, now);
}

// Reader thread: only the flag.
void TfrChannelForm::MetaSync(audio::SyncHandle, audio::StreamHandle, void* user) {
    static_cast<std::atomic<bool>*>(user)->store(true, std::memory_order_relaxed);
}

void TfrChannelForm::GetHTTPInfo() {
    audio::ChannelInfo info;
    if (m_engine.ChannelGetInfo(m_stream, info)) {
        m_freq = info.freq;
        m_bitrateText = QString::number(info.freq);
        m_chans = info.chans;
    }
    std::vector<std::string> lines;
    if (!m_engine.ChannelGetTags(m_stream, audio::TagKind::Icy, lines) || lines.empty()) {
        m_engine.ChannelGetTags(m_stream, audio::TagKind::Http, lines);
    }
    const StreamHeaders headers = ParseStreamHeaders(lines);
    if (headers.station) {
        m_stationName = *headers.station;
    }
    if (headers.bitrate) {
        m_bitrateText = *headers.bitrate;
    }
    UpdateTitle();
}

QString TfrChannelForm::BitrateLine() const {
    return qvm::BitrateLine(m_ctx.language, m_bitrateText, m_chans);
}

void TfrChannelForm::UpdateTitle() {
    m_infoLine = BitrateLine();
    m_view->setInfoLines(m_infoLine, m_stationName, m_title);
    m_titleChanged = true;
}

void TfrChannelForm::DoMeta() {
    if (!m_metaChanged.exchange(false, std::memory_order_relaxed)) {
        return;
    }
    std::vector<std::string> lines;
    if (!m_engine.ChannelGetTags(m_stream, audio::TagKind::Meta, lines) || lines.empty()) {
        return;
    }
    std::optional<std::string> raw = ParseStreamTitle(lines.front());
    // Compared as received, so a title that needed decoding is announced once.
    if (!raw || *raw == m_rawTitle) {
        return;
    }
    m_rawTitle = std::move(*raw);
    m_title = DecodeStreamText(m_rawTitle, kLongTextBytes);
    UpdateTitle();
}

double TfrChannelForm::Get_Buffer_Percent() const {
    const std::int64_t end = m_engine.StreamGetFilePosition(m_stream, audio::FilePos::End);
    if (end <= 0) {
        return 0;
    }
    const std::int64_t buffered = m_engine.StreamGetFilePosition(m_stream, audio::FilePos::Buffer);
    return static_cast<double>(buffered * 100) / static_cast<double>(end);
}

void TfrChannelForm::RemoveTap() {
    if (m_dspHandle == 0) {
        return;
    }
    m_engine.ChannelRemoveDSP(m_dspStream, m_dspHandle);
    m_dspHandle = 0;
    m_dspStream = 0;
    // The engine returns only once no call can still run; the flag covers an
    // engine that does not. No event pumping here: the channel must not be
    // re-entered half closed.
    while (m_tap.busy.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void TfrChannelForm::CloseURL() {
    if (m_stream == 0) {
        return;
    }
    if (m_dspStream == m_stream) {
        RemoveTap();
    }
    m_engine.StreamFree(m_stream);
    m_stream = 0;
    // During a planned restart the tap still feeds the queue from the old
    // stream: the queue is cleared only once no tap can push into it.
    if (m_dspHandle == 0) {
        m_streamBuffer.Clear(false);
    }
    ShowLevels();
}

void TfrChannelForm::CloseOldURL() {
    m_restarting = false;
    if (m_oldStream == 0) {
        return;
    }
    if (m_dspStream == m_oldStream) {
        RemoveTap();
    }
    m_engine.StreamFree(m_oldStream);
    m_oldStream = 0;
}

void TfrChannelForm::Work_With_StreamBuffer() {
    const bool onAir = m_index == m_ctx.onAirIndex.load(std::memory_order_relaxed);
    int slot = 0;
    while (const PcmBlock* block = m_streamBuffer.Pop(m_nowTick, &slot)) {
        if (onAir) {
            // Due at once: it keeps the tapped block's time.
            m_ctx.mainQueue.Push(block->Time, block->samples(), block->Length, block->Freq,
                                 block->Chans);
        }
        m_silence.Process(block->samples(), block->Length, static_cast<std::uint32_t>(block->Freq),
                          block->Chans);
        m_streamBuffer.Release(slot);
    }
}

void TfrChannelForm::Set_Channel_Volume(double& value) {
    value = std::clamp(value, 0.0, 1.0);
    const double main = std::clamp(m_ctx.mainVolume.load(std::memory_order_relaxed), 0, 100);
    const auto volume = static_cast<float>(main * value / 100.0);
    if (m_stream != 0) {
        m_engine.ChannelSetVolume(m_stream, volume);
    }
    // The old stream of a planned restart is the one heard: it follows fades too.
    if (m_oldStream != 0) {
        m_engine.ChannelSetVolume(m_oldStream, volume);
    }
}

PeakDb TfrChannelForm::Get_Channel_Level() const {
    const audio::StreamHandle h = m_oldStream != 0 ? m_oldStream : m_stream;
    const std::uint32_t level = h != 0 ? m_engine.ChannelGetLevel(h) : 0;
    const auto toDb = [](std::uint32_t w) {
        if (w == 0 || w == 0xFFFF) {
            return -100.0;
        }
        if (w >= 32768) {
            return 0.0;
        }
        return 20.0 * std::log10(w / 32768.0);
    };
    return {toDb(level & 0xFFFFu), toDb(level >> 16)};
}

}  // namespace qvm
