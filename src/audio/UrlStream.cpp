#include "audio/UrlStream.h"

#include <pthread.h>

#include <chrono>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "audio/AudioError.h"
#include "audio/Resolver.h"

namespace qvm::audio {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kMetaPollInterval = std::chrono::milliseconds(100);
constexpr std::uint32_t kMinBufferMs = 100;
// A reader at the live edge with a quarter of its ring filled pauses before it
// reads the network again, so that the next read takes what gathered in the
// socket meanwhile in one go instead of waking for every packet as it trickles
// in: a wake-up costs more than decoding the packet. The pause is an eighth of
// the ring, so the ring never runs below an eighth of its length because of
// it, and at most half a second, so the buffer gauge barely moves.
constexpr std::chrono::milliseconds kMaxNap{500};
// The reader has caught up with a live stream once, over the last
// kBurstWindow, its lead over the wall clock (the audio decoded less the time
// since the first) has grown by less than a fifth of that: what comes now
// comes at the sender's pace, not as a burst. A single read that waits says
// little: a burst reaches us in flights of packets with waits between them.
constexpr auto kBurstWindow = std::chrono::milliseconds(300);
constexpr double kBurstGrowth = 0.2;  // of the window
// What the reader drops of a live stream before it plays, at most: more than
// any server's connect burst; a sender that is still ahead after that is not
// bursting but simply faster than real time.
constexpr std::size_t kMaxTrimSeconds = 60;
// A connection that delivers at least kJunkMinBytes in kJunkWindow, far more
// than the audio it decodes to could take, is sending something else: random
// bytes after a valid start, say, which would otherwise be swallowed as fast
// as the network allows, one reconnect after another.
constexpr auto kJunkWindow = std::chrono::seconds(2);
constexpr std::uint64_t kJunkMinBytes = 256 * 1024;
constexpr std::uint64_t kJunkFloodBytes = 1024 * 1024;

std::uint32_t bufferLengthMs(std::uint32_t bufferMs) {
    return std::max(bufferMs, kMinBufferMs);
}

std::size_t bytesPerSecond(const InputSource& input) {
    return std::size_t{input.rate()} * input.chans() * 2;
}

// The configured buffer length in bytes.
std::size_t nominalBytes(const InputSource& input, std::uint32_t bufferMs) {
    return static_cast<std::size_t>(std::uint64_t{bufferLengthMs(bufferMs)} *
                                    bytesPerSecond(input) / 1000);
}

// A reader at the live edge pauses for an eighth of its ring, at most
// kMaxNap: the fill then swings by that much below the top.
std::chrono::milliseconds napFor(const InputSource& input, std::uint32_t bufferMs) {
    const std::size_t capacity =
        MixChannel::CapacityFor(nominalBytes(input, bufferMs), bytesPerSecond(input), input.hls());
    return std::min(kMaxNap,
                    std::chrono::milliseconds(capacity * 1000 / bytesPerSecond(input) / 8));
}

}  // namespace

UrlStream::UrlStream(StreamHandle handle, std::unique_ptr<InputSource> input,
                     const NetConfig& config)
    : m_handle(handle),
      m_input(std::move(input)),
      m_readTimeoutMs(config.readTimeoutMs),
      m_mix(handle, m_input->rate(), m_input->chans(), nominalBytes(*m_input, config.bufferMs),
            {.live = m_input->live(), .segmented = m_input->hls(), .burst = m_input->live()}),
      m_maxTrimBytes(kMaxTrimSeconds * bytesPerSecond(*m_input)),
      m_frame(av_frame_alloc()),
      m_meta(m_input->meta()),
      m_icy(m_input->icyLines()),
      m_http(m_input->httpLines()),
      m_nap(napFor(*m_input, config.bufferMs)) {}

UrlStream::~UrlStream() {
    requestStop();
    join();
    swr_free(&m_swr);
    av_frame_free(&m_frame);
}

bool UrlStream::tags(TagKind kind, std::vector<std::string>& lines) const {
    switch (kind) {
        case TagKind::Icy:
            lines = m_icy;
            break;
        case TagKind::Http:
            lines = m_http;
            break;
        case TagKind::Meta: {
            std::lock_guard lock(m_tagMutex);
            lines.clear();
            if (!m_meta.empty()) {
                lines.push_back(m_meta);
            }
            break;
        }
    }
    return !lines.empty();
}

void UrlStream::addSync(SyncHandle sync, SyncProc proc, void* user) {
    std::lock_guard lock(m_syncMutex);
    if (!m_syncsDetached.load()) {
        m_syncs.push_back({sync, proc, user});
    }
}

void UrlStream::detachSyncs() {
    m_syncsDetached.store(true);
    if (m_readerId.load() == std::this_thread::get_id()) {
        return;  // inside a callback: the reader checks the flag before each call
    }
    std::lock_guard lock(m_syncMutex);  // waits for a running callback to return
    m_syncs.clear();
}

void UrlStream::startReader() {
    m_reader = std::thread([this] {
        m_readerId.store(std::this_thread::get_id());
        pthread_setname_np(pthread_self(), "qvm-reader");
        run();
    });
}

void UrlStream::requestStop() {
    if (m_input) {
        m_input->interrupter().requestStop();
    }
    {
        std::lock_guard lock(m_napMutex);
        m_napStop = true;
    }
    m_napWake.notify_all();
    // Wakes a reader that waits for room in the ring.
    m_mix.signalSpace();
}

void UrlStream::join() {
    if (m_reader.joinable()) {
        m_reader.join();
    }
    m_input.reset();
}

void UrlStream::run() {
    Interrupter& irq = m_input->interrupter();
    // An HLS reader opens a connection per segment host: its lookups must
    // give way to a stop like its reads.
    const ScopedLookupGuard lookups(irq);
    AVFormatContext* fmt = m_input->format();
    AVCodecContext* codec = m_input->codec();
    const int index = m_input->streamIndex();

    deliver(m_input->firstFrame());
    receiveFrames();
    m_input->setReadPacer(this);

    AVPacket* packet = av_packet_alloc();
    auto nextMeta = Clock::now();
    // The read time-out runs from the end of the last read that brought a
    // packet (and its decoding, which may wait for room in the ring): a
    // demuxer that keeps answering "try again" does not keep it alive.
    bool progressed = true;
    while (!irq.stopRequested()) {
        if (progressed) {
            irq.arm(std::chrono::milliseconds(m_readTimeoutMs));
        }
        const int rc = av_read_frame(fmt, packet);
        progressed = rc >= 0;
        noteProgress();
        if (rc == AVERROR(EAGAIN)) {
            if (Interrupter::check(&irq) != 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (rc < 0) {
            break;  // end of stream, read time-out, network error, or stop
        }
        m_packetBytes += static_cast<std::uint64_t>(std::max(packet->size, 0));
        if (yieldsNoAudio()) {
            m_mix.error.store(kErrFileForm, std::memory_order_relaxed);
            av_packet_unref(packet);
            break;
        }
        if (packet->stream_index == index) {
            // A packet the decoder refuses is skipped; the decoder resyncs.
            if (avcodec_send_packet(codec, packet) == 0) {
                receiveFrames();
            }
        }
        av_packet_unref(packet);
        if (const auto now = Clock::now(); now >= nextMeta) {
            checkMeta();
            nextMeta = now + kMetaPollInterval;
        }
    }
    m_input->setReadPacer(nullptr);
    av_packet_free(&packet);
    m_mix.caughtUp.store(true, std::memory_order_release);
    m_connected.store(false, std::memory_order_release);
    if (!irq.stopRequested()) {
        checkMeta();
        avcodec_send_packet(codec, nullptr);  // what the decoder still holds
        receiveFrames();
    }
    m_input->closeNetwork();
    m_mix.readerDone.store(true, std::memory_order_release);
}

void UrlStream::beforeNetworkRead() {
    if (!m_mix.caughtUp.load(std::memory_order_relaxed) ||
        m_mix.ring.readable() < m_mix.ring.capacity() / 4) {
        return;  // taking the connect burst, or short of audio: every packet as it comes
    }
    {
        std::unique_lock lock(m_napMutex);
        if (m_napWake.wait_for(lock, m_nap, [this] { return m_napStop; })) {
            return;
        }
    }
    // The pause is ours, not the server's: the read time-out starts afresh.
    m_input->interrupter().arm(std::chrono::milliseconds(m_readTimeoutMs));
}

void UrlStream::receiveFrames() {
    AVCodecContext* codec = m_input->codec();
    while (avcodec_receive_frame(codec, m_frame) == 0) {
        deliver(m_frame);
        av_frame_unref(m_frame);
    }
}

void UrlStream::deliver(const AVFrame* frame) {
    if (frame == nullptr || frame->nb_samples <= 0) {
        return;
    }
    const int chans = frame->ch_layout.nb_channels;
    const auto outChans = static_cast<int>(m_mix.chans);
    const auto outRate = static_cast<int>(m_mix.rate);
    if (chans <= 0 || !PlayableRate(static_cast<std::uint32_t>(frame->sample_rate))) {
        return;  // a stream that changes to an unplayable format mid-way: not audio of ours
    }
    if (frame->format == AV_SAMPLE_FMT_S16 && chans == outChans && frame->sample_rate == outRate) {
        writeRing(frame->data[0], std::size_t(frame->nb_samples) * m_mix.frameBytes());
        return;
    }
    if (m_swr == nullptr || frame->format != m_swrFormat || frame->sample_rate != m_swrRate ||
        chans != m_swrChans) {
        // The format is fixed by the first frame; should the stream change its
        // rate or channels later, it is converted back to them.
        swr_free(&m_swr);
        AVChannelLayout in;
        AVChannelLayout out;
        av_channel_layout_default(&in, chans);
        av_channel_layout_default(&out, outChans);
        const int rc = swr_alloc_set_opts2(&m_swr, &out, AV_SAMPLE_FMT_S16, outRate, &in,
                                           static_cast<AVSampleFormat>(frame->format),
                                           frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (rc < 0 || swr_init(m_swr) < 0) {
            swr_free(&m_swr);
            return;
        }
        m_swrFormat = frame->format;
        m_swrRate = frame->sample_rate;
        m_swrChans = chans;
    }
    const int room = swr_get_out_samples(m_swr, frame->nb_samples);
    if (room <= 0) {
        return;
    }
    m_pcm.resize(std::size_t(room) * m_mix.frameBytes());
    std::uint8_t* out = m_pcm.data();
    const int got =
        swr_convert(m_swr, &out, room, const_cast<const std::uint8_t**>(frame->extended_data),
                    frame->nb_samples);
    if (got > 0) {
        writeRing(m_pcm.data(), std::size_t(got) * m_mix.frameBytes());
    }
}

void UrlStream::trimBurst(std::size_t incoming) {
    const std::size_t keep = m_mix.nominalBytes > incoming ? m_mix.nominalBytes - incoming : 0;
    const std::size_t held = m_mix.ring.readable();
    if (held > keep) {
        // Dropped audio counts as taken: the position stays the stream's own.
        m_trimmedBytes += m_mix.ring.skip(held - keep);
    }
}

void UrlStream::noteProgress() {
    if (m_mix.caughtUp.load(std::memory_order_relaxed) || m_decodedFrames == 0) {
        return;
    }
    const auto now = Clock::now();
    if (m_firstAudioAt == Clock::time_point{}) {
        m_firstAudioAt = now;
    }
    const double elapsed = std::chrono::duration<double>(now - m_firstAudioAt).count();
    const double lead = static_cast<double>(m_decodedFrames) / m_mix.rate - elapsed;
    // Leads sampled every tenth of a second; the oldest one still inside the
    // window is what the lead has grown from.
    if (m_leads.empty() || now - m_leads.back().first >= kBurstWindow / 3) {
        m_leads.emplace_back(now, lead);
    }
    while (m_leads.size() > 1 && now - m_leads[1].first >= kBurstWindow) {
        m_leads.pop_front();
    }
    const bool windowFull = now - m_leads.front().first >= kBurstWindow;
    const double window = std::chrono::duration<double>(kBurstWindow).count();
    const bool atLiveEdge = windowFull && lead - m_leads.front().second < kBurstGrowth * window;
    if (!m_mix.live || atLiveEdge || m_trimmedBytes >= m_maxTrimBytes) {
        // After the last trim: the mixer takes the ring over.
        m_mix.caughtUp.store(true, std::memory_order_release);
        m_leads.clear();
    }
}

bool UrlStream::yieldsNoAudio() {
    const auto now = Clock::now();
    if (m_junkWindowStart == Clock::time_point{}) {
        m_junkWindowStart = now;
        return false;
    }
    // What came in (as read from the network; for HLS, as packets) against
    // the audio it gave, over the window: even uncompressed 32-bit audio is
    // no bigger than this; a stream far bigger than it decodes to is no audio.
    // A flood is judged as soon as a megabyte has come.
    const std::uint64_t network = m_input->networkBytes();
    const std::uint64_t in = network > 0 ? network : m_packetBytes;
    const std::uint64_t bytes = in - m_junkBytesAtStart;
    if (now - m_junkWindowStart < kJunkWindow && bytes < kJunkFloodBytes) {
        return false;
    }
    const double audio = static_cast<double>(m_decodedFrames - m_junkFramesAtStart) / m_mix.rate;
    const double plausible = std::uint64_t{m_mix.rate} * m_mix.chans * 4 * 2 * audio;
    const bool junk = bytes >= kJunkMinBytes && static_cast<double>(bytes) > plausible;
    m_junkWindowStart = now;
    m_junkBytesAtStart = in;
    m_junkFramesAtStart = m_decodedFrames;
    return junk;
}

void UrlStream::writeRing(const std::uint8_t* data, std::size_t bytes) {
    Interrupter& irq = m_input->interrupter();
    m_decodedFrames += bytes / m_mix.frameBytes();
    while (bytes > 0) {
        if (!m_mix.caughtUp.load(std::memory_order_relaxed)) {
            trimBurst(bytes);
        }
        const std::uint32_t signal = m_mix.spaceSignal.load(std::memory_order_acquire);
        const std::size_t n = m_mix.ring.write(data, bytes);
        data += n;
        bytes -= n;
        if (bytes == 0 || irq.stopRequested()) {
            return;
        }
        // The ring is full: wait for the consumer (or a stop) to move the
        // signal on. A change after the load above returns at once.
        m_mix.spaceSignal.wait(signal, std::memory_order_acquire);
    }
}

void UrlStream::checkMeta() {
    std::string meta = m_input->pollMeta();
    if (meta.empty()) {
        return;
    }
    {
        std::lock_guard lock(m_tagMutex);
        if (meta == m_meta) {
            return;
        }
        m_meta = std::move(meta);
    }
    fireSyncs();
}

void UrlStream::fireSyncs() {
    std::lock_guard lock(m_syncMutex);
    for (const Sync& sync : m_syncs) {
        if (m_syncsDetached.load()) {
            break;
        }
        try {
            sync.proc(sync.handle, m_handle, sync.user);
        } catch (...) {
            // A failing callback must not end the stream.
        }
    }
}

}  // namespace qvm::audio
