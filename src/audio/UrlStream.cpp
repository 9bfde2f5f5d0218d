#include "audio/UrlStream.h"

#include <pthread.h>

#include <chrono>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

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

std::uint32_t bufferLengthMs(std::uint32_t bufferMs) {
    return std::max(bufferMs, kMinBufferMs);
}

std::size_t ringBytes(const InputSource& input, std::uint32_t bufferMs) {
    const std::uint64_t ms = bufferLengthMs(bufferMs);
    return static_cast<std::size_t>(ms * input.rate() / 1000 * input.chans() * 2);
}

}  // namespace

UrlStream::UrlStream(StreamHandle handle, std::unique_ptr<InputSource> input,
                     const NetConfig& config)
    : m_handle(handle),
      m_input(std::move(input)),
      m_readTimeoutMs(config.readTimeoutMs),
      m_mix(handle, m_input->rate(), m_input->chans(), ringBytes(*m_input, config.bufferMs)),
      m_frame(av_frame_alloc()),
      m_meta(m_input->meta()),
      m_icy(m_input->icyLines()),
      m_http(m_input->httpLines()),
      m_nap(std::min(kMaxNap, std::chrono::milliseconds(bufferLengthMs(config.bufferMs) / 8))) {}

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
    m_connected.store(false, std::memory_order_release);
    if (!irq.stopRequested()) {
        checkMeta();
        avcodec_send_packet(codec, nullptr);  // what the decoder still holds
        receiveFrames();
    }
    m_mix.readerDone.store(true, std::memory_order_release);
}

void UrlStream::beforeNetworkRead() {
    if (m_mix.ring.readable() < m_mix.ring.capacity() / 4) {
        return;  // short of audio: take every packet as it comes
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

void UrlStream::writeRing(const std::uint8_t* data, std::size_t bytes) {
    Interrupter& irq = m_input->interrupter();
    while (bytes > 0) {
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
