#include "audio/UrlStream.h"

#include <pthread.h>

#include <algorithm>
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
// it, and at most a quarter of a second: the gauge barely moves, and a
// connection that ends during the pause is noticed soon enough that a server
// without a connect burst loses no more than that of its audio (rejoin()).
constexpr std::chrono::milliseconds kMaxNap{250};
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
// Lost connections: the newest second handed to the ring is kept to line a
// new connection up with; a new connection is tried while the ring holds more
// than kRejoinMargin, every kRejoinPause; the new audio is joined on at the
// latest when the ring is down to kJoinBy, or once this much of it waits.
constexpr std::uint32_t kTailMs = 1000;
constexpr auto kRejoinMargin = std::chrono::milliseconds(300);
constexpr auto kRejoinPause = std::chrono::milliseconds(250);
constexpr auto kJoinBy = std::chrono::milliseconds(200);
constexpr double kMaxPendingSeconds = 30.0;
// A join without an overlap is bent from the old audio's last frame.
constexpr std::uint32_t kBendMs = 5;
constexpr std::uint32_t kMaxWarmUpMs = 100;

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
                     const NetConfig& config, std::atomic<std::uint64_t>* rejoins)
    : m_handle(handle),
      m_input(std::move(input)),
      m_config(config),
      m_url(m_input->url()),
      m_hls(m_input->hls()),
      m_readTimeoutMs(config.readTimeoutMs),
      m_mix(handle, m_input->rate(), m_input->chans(), nominalBytes(*m_input, config.bufferMs),
            {.live = m_input->live(), .segmented = m_input->hls(), .burst = m_input->live()}),
      m_maxTrimBytes(kMaxTrimSeconds * bytesPerSecond(*m_input)),
      m_rejoinTotal(rejoins),
      m_tail(m_mix.live ? std::size_t{m_mix.rate} * kTailMs / 1000 : 0, m_mix.chans),
      m_frame(av_frame_alloc()),
      m_meta(m_input->meta()),
      m_icy(m_input->icyLines()),
      m_http(m_input->httpLines()),
      m_nap(napFor(*m_input, config.bufferMs)) {
    m_input->interrupter().setAbortFlag(&m_stop);
}

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
    // Not through m_input: the reader replaces it when it connects again.
    m_stop.store(true);
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
    deliver(m_input->firstFrame());
    receiveFrames();
    while (readConnection() && rejoin()) {
    }
    if (m_rejoining) {
        finishRejoin();  // the new connection ended too, before its audio was lined up
    }
    m_mix.caughtUp.store(true, std::memory_order_release);
    m_connected.store(false, std::memory_order_release);
    m_mix.readerDone.store(true, std::memory_order_release);
}

bool UrlStream::readConnection() {
    Interrupter& irq = m_input->interrupter();
    // An HLS reader opens a connection per segment host: its lookups must
    // give way to a stop like its reads.
    const ScopedLookupGuard lookups(irq);
    AVFormatContext* fmt = m_input->format();
    AVCodecContext* codec = m_input->codec();
    const int index = m_input->streamIndex();
    m_input->setReadPacer(this);

    AVPacket* packet = av_packet_alloc();
    auto nextMeta = Clock::now();
    bool junk = false;
    // The read time-out runs from the end of the last read that brought a
    // packet (and its decoding, which may wait for room in the ring): a
    // demuxer that keeps answering "try again" does not keep it alive.
    bool progressed = true;
    while (!m_stop.load()) {
        if (progressed) {
            irq.arm(std::chrono::milliseconds(m_readTimeoutMs));
        }
        const int rc = av_read_frame(fmt, packet);
        progressed = rc >= 0;
        noteProgress();
        if (m_rejoining) {
            continueRejoin();
        }
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
            junk = true;
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
    const bool lost = !m_stop.load() && !junk;
    if (!m_stop.load()) {
        checkMeta();
        avcodec_send_packet(codec, nullptr);  // what the decoder still holds
        receiveFrames();
    }
    m_input->closeNetwork();
    return lost;
}

std::chrono::milliseconds UrlStream::ringLeft() const {
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(m_mix.ring.readable() / m_mix.frameBytes() * 1000 / m_mix.rate));
}

bool UrlStream::restFor(std::chrono::milliseconds pause) {
    std::unique_lock lock(m_napMutex);
    return !m_napWake.wait_for(lock, pause, [this] { return m_napStop; });
}

bool UrlStream::rejoin() {
    if (m_rejoining) {
        finishRejoin();
    }
    // A file ends where it ends; HLS has its own reconnects; a stream that
    // never got to play is simply opened again by its channel.
    if (!m_mix.live || m_hls || !m_mix.caughtUp.load(std::memory_order_relaxed)) {
        return false;
    }
    m_lostAt = Clock::now();
    for (;;) {
        const auto left = ringLeft() - kRejoinMargin;
        if (m_stop.load() || left <= std::chrono::milliseconds(0)) {
            return false;
        }
        NetConfig config = m_config;
        const auto leftMs = static_cast<std::uint32_t>(left.count());
        config.timeoutMs = std::min(config.timeoutMs, leftMs);
        config.readTimeoutMs = std::min(config.readTimeoutMs, leftMs);
        std::int32_t error = kErrOk;
        std::unique_ptr<InputSource> input = OpenInput(m_url, false, config, &m_stop, error, left);
        if (input) {
            input->interrupter().setAbortFlag(&m_stop);
            input->interrupter().setStepTimeout(std::chrono::milliseconds(m_readTimeoutMs));
            m_input = std::move(input);
            // The junk check starts over with the new connection's counts.
            m_packetBytes = 0;
            m_junkWindowStart = {};
            m_junkBytesAtStart = 0;
            m_junkFramesAtStart = m_decodedFrames;
            m_rejoining = true;
            m_skipFrames = 0;
            m_pending.clear();
            m_searchTime = {};
            m_rejoinBurst.reset();
            m_finder.start(m_tail.copy(), m_mix.chans, m_mix.rate);
            deliver(m_input->firstFrame());
            receiveFrames();
            return true;
        }
        // The failed try took its time: the pause is measured against what
        // the ring holds now, or the ring could run dry during it.
        const auto leftNow = ringLeft() - kRejoinMargin;
        if (leftNow <= std::chrono::milliseconds(0) ||
            !restFor(std::min<std::chrono::milliseconds>(kRejoinPause, leftNow))) {
            return false;
        }
    }
}

void UrlStream::continueRejoin() {
    if (!m_rejoining) {
        return;
    }
    const auto searchFrom = Clock::now();
    m_finder.search(m_pending);
    m_searchTime += Clock::now() - searchFrom;
    if (m_finder.exact()) {
        finishRejoin();
        return;
    }
    const double pendingSeconds =
        static_cast<double>(m_pending.size() / m_mix.chans) / static_cast<double>(m_mix.rate);
    // Waits while the server's burst comes in (the overlap lies in it), not
    // once the new connection has reached the live edge, and never until the
    // ring runs dry.
    if (m_rejoinBurst.atLiveEdge(Clock::now(), pendingSeconds) ||
        pendingSeconds > kMaxPendingSeconds || ringLeft() <= kJoinBy) {
        finishRejoin();
    }
}

void UrlStream::finishRejoin() {
    m_rejoining = false;
    const std::size_t frames = m_pending.size() / m_mix.chans;
    const std::optional<std::size_t> at = m_finder.best();
    m_finder.reset();
    std::size_t from = 0;
    if (at) {
        from = std::min(*at, frames);
        m_skipFrames = *at - from;
    } else {
        // Digital silence at the very start is the new decoder finding its
        // feet (it begins without the frames before), not the programme:
        // across a gap it would only lengthen the gap.
        const std::size_t warmUp = std::size_t{m_mix.rate} * kMaxWarmUpMs / 1000;
        while (
            from < std::min(frames, warmUp) &&
            std::all_of(m_pending.begin() + static_cast<std::ptrdiff_t>(from * m_mix.chans),
                        m_pending.begin() + static_cast<std::ptrdiff_t>((from + 1) * m_mix.chans),
                        [](std::int16_t s) { return s == 0; })) {
            ++from;
        }
        if (from < frames && m_tail.frames() > 0) {
            BendOnto(m_tail.last(), m_pending.data() + from * m_mix.chans, frames - from,
                     std::size_t{m_mix.rate} * kBendMs / 1000, m_mix.chans);
        }
    }
    m_mix.rejoinMs.store(
        static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_lostAt).count()),
        std::memory_order_relaxed);
    m_mix.spliceSearchUs.store(
        static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(m_searchTime).count()),
        std::memory_order_relaxed);
    m_mix.rejoins.fetch_add(1, std::memory_order_relaxed);
    if (!at) {
        m_mix.rejoinGaps.fetch_add(1, std::memory_order_relaxed);
    }
    if (m_rejoinTotal != nullptr) {
        m_rejoinTotal->fetch_add(1, std::memory_order_relaxed);
    }
    std::vector<std::int16_t> pending;
    pending.swap(m_pending);  // its memory goes with it
    commit(reinterpret_cast<const std::uint8_t*>(pending.data() + from * m_mix.chans),
           (frames - from) * m_mix.frameBytes());
}

void UrlStream::beforeNetworkRead() {
    if (!m_mix.caughtUp.load(std::memory_order_relaxed) || m_rejoining ||
        m_mix.ring.readable() < m_mix.ring.capacity() / 4) {
        return;  // taking a burst, or short of audio: every packet as it comes
    }
    if (!restFor(m_nap)) {
        return;
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
        take(frame->data[0], std::size_t(frame->nb_samples) * m_mix.frameBytes());
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
        take(m_pcm.data(), std::size_t(got) * m_mix.frameBytes());
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

void UrlStream::BurstWatch::reset() {
    m_firstAt = {};
    m_leads.clear();
}

bool UrlStream::BurstWatch::atLiveEdge(Clock::time_point now, double decodedSeconds) {
    if (m_firstAt == Clock::time_point{}) {
        m_firstAt = now;
    }
    const double elapsed = std::chrono::duration<double>(now - m_firstAt).count();
    const double lead = decodedSeconds - elapsed;
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
    return windowFull && lead - m_leads.front().second < kBurstGrowth * window;
}

void UrlStream::noteProgress() {
    if (m_mix.caughtUp.load(std::memory_order_relaxed) || m_decodedFrames == 0) {
        return;
    }
    const bool atLiveEdge = m_burst.atLiveEdge(
        Clock::now(), static_cast<double>(m_decodedFrames) / static_cast<double>(m_mix.rate));
    if (!m_mix.live || atLiveEdge || m_trimmedBytes >= m_maxTrimBytes) {
        // After the last trim: the mixer takes the ring over.
        m_mix.caughtUp.store(true, std::memory_order_release);
        m_burst.reset();
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

void UrlStream::take(const std::uint8_t* data, std::size_t bytes) {
    m_decodedFrames += bytes / m_mix.frameBytes();
    if (m_rejoining) {
        const auto* samples = reinterpret_cast<const std::int16_t*>(data);
        m_pending.insert(m_pending.end(), samples, samples + bytes / 2);
        continueRejoin();
        return;
    }
    if (m_skipFrames > 0) {
        // The ring already has these: the new connection's copy of them.
        const std::size_t skip = std::min(m_skipFrames, bytes / m_mix.frameBytes());
        m_skipFrames -= skip;
        data += skip * m_mix.frameBytes();
        bytes -= skip * m_mix.frameBytes();
    }
    commit(data, bytes);
}

void UrlStream::commit(const std::uint8_t* data, std::size_t bytes) {
    if (bytes == 0) {
        return;
    }
    if (m_mix.live) {
        m_tail.append(reinterpret_cast<const std::int16_t*>(data), bytes / m_mix.frameBytes());
    }
    writeRing(data, bytes);
}

void UrlStream::writeRing(const std::uint8_t* data, std::size_t bytes) {
    while (bytes > 0) {
        if (!m_mix.caughtUp.load(std::memory_order_relaxed)) {
            trimBurst(bytes);
        }
        const std::uint32_t signal = m_mix.spaceSignal.load(std::memory_order_acquire);
        const std::size_t n = m_mix.ring.write(data, bytes);
        data += n;
        bytes -= n;
        if (bytes == 0 || m_stop.load()) {
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
