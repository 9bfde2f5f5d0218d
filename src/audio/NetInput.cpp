#include "audio/NetInput.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "audio/AudioError.h"
#include "audio/Playlist.h"
#include "audio/Resolver.h"

namespace qvm::audio {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxDepth = 3;      // playlist inside playlist inside playlist
constexpr int kMaxAttempts = 16;  // connections one open may try in all
constexpr std::size_t kMaxPlaylistBytes = 256 * 1024;
constexpr std::size_t kMaxFirstFrameBytes = 256 * 1024;  // of packets before giving up
constexpr std::uint32_t kMaxChannels = 8;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A read from the network that took this long waited for data to arrive:
// whatever the socket held before it has been taken.
constexpr auto kWaitedForNetwork = std::chrono::milliseconds(2);

// The bytes sniffed from the HTTP body are handed to the demuxer again ahead
// of the rest of the connection; with a pacer installed, the reads of the
// body after it are paced by the reader.
struct Replay {
    AVIOContext* inner = nullptr;
    std::string prefix;
    std::size_t pos = 0;
    ReadPacer* pacer = nullptr;
    bool waited = false;                  // the last read from the network waited for data
    std::atomic<std::uint64_t> bytes{0};  // read from the network
};

int replayRead(void* opaque, std::uint8_t* buf, int size) {
    auto* r = static_cast<Replay*>(opaque);
    if (r->pos < r->prefix.size()) {
        const std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(size), r->prefix.size() - r->pos);
        std::memcpy(buf, r->prefix.data() + r->pos, n);
        r->pos += n;
        return static_cast<int>(n);
    }
    if (r->pacer != nullptr && r->waited) {
        r->pacer->beforeNetworkRead();
    }
    const auto start = Clock::now();
    const int got = avio_read_partial(r->inner, buf, size);
    r->waited = Clock::now() - start > kWaitedForNetwork;
    if (got > 0) {
        r->bytes.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
    }
    return got == 0 ? AVERROR_EOF : got;
}

std::string optString(void* obj, const char* name) {
    std::uint8_t* value = nullptr;
    if (obj == nullptr || av_opt_get(obj, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 ||
        value == nullptr) {
        return {};
    }
    std::string out(reinterpret_cast<const char*>(value));
    av_free(value);
    return out;
}

// The demuxer to use for a Content-Type, so that no probing delays the open.
const char* formatForContentType(const std::string& contentType) {
    std::string t = contentType.substr(0, contentType.find(';'));
    std::transform(t.begin(), t.end(), t.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    t.erase(std::remove(t.begin(), t.end(), ' '), t.end());
    static const std::pair<const char*, const char*> kMap[] = {
        {"audio/mpeg", "mp3"},    {"audio/mp3", "mp3"},       {"audio/mpeg3", "mp3"},
        {"audio/x-mpeg", "mp3"},  {"audio/aac", "aac"},       {"audio/aacp", "aac"},
        {"audio/x-aac", "aac"},   {"application/ogg", "ogg"}, {"audio/ogg", "ogg"},
        {"audio/x-ogg", "ogg"},   {"audio/opus", "ogg"},      {"audio/flac", "flac"},
        {"audio/x-flac", "flac"}, {"video/mp2t", "mpegts"},   {"audio/wav", "wav"},
        {"audio/x-wav", "wav"},   {"audio/wave", "wav"},      {"audio/webm", "matroska"},
    };
    for (const auto& [type, format] : kMap) {
        if (t == type) {
            return format;
        }
    }
    return nullptr;
}

bool looksLikeAudioType(const std::string& contentType) {
    std::string t = contentType;
    std::transform(t.begin(), t.end(), t.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return t.starts_with("audio/") || t.starts_with("application/ogg") ||
           t.starts_with("video/mp2t");
}

}  // namespace

std::vector<std::string> IcyHeaderLines(const std::string& block) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t end = block.find('\n', at);
        if (end == std::string::npos) {
            end = block.size();
        }
        std::string line = block.substr(at, end - at);
        // A server that writes its CR LF through a text-mode stream ends its
        // lines with CR CR LF; FFmpeg takes one CR away.
        while (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // FFmpeg hands the headers back as "name: value"; keep them as the
        // server's "name:value" lines.
        if (const std::size_t colon = line.find(": "); colon != std::string::npos) {
            line.erase(colon + 1, 1);
        }
        if (!line.empty()) {
            out.push_back(std::move(line));
        }
        at = end + 1;
    }
    return out;
}

void Interrupter::arm(std::chrono::milliseconds fromNow) {
    m_deadlineNs.store(nowNs() +
                       std::chrono::duration_cast<std::chrono::nanoseconds>(fromNow).count());
}

void Interrupter::setCap(std::chrono::milliseconds fromNow) {
    m_capNs.store(fromNow.count() == 0
                      ? 0
                      : nowNs() +
                            std::chrono::duration_cast<std::chrono::nanoseconds>(fromNow).count());
}

void Interrupter::setFloodGuard(bool on) {
    m_floodGuard = on;
    m_rapidChecks = 0;
    m_lastCheckNs = 0;
}

bool Interrupter::aborted() const {
    const std::atomic<bool>* abort = m_abort.load();
    return m_stop.load() || (abort != nullptr && abort->load());
}

// FFmpeg polls before every read of a connection, and every 100 ms while a
// read waits. Polls that follow each other within a millisecond are reads
// that found data waiting: about two per 4 KiB of an HTTP header. A real
// server's header takes a handful of them.
bool Interrupter::flooded() {
    constexpr std::int64_t kRapidNs = 1000000;
    constexpr int kMaxRapidChecks = 512;
    const std::int64_t now = nowNs();
    if (m_lastCheckNs != 0 && now - m_lastCheckNs < kRapidNs) {
        ++m_rapidChecks;
    }
    m_lastCheckNs = now;
    return m_rapidChecks > kMaxRapidChecks;
}

int Interrupter::check(void* self) {
    auto* me = static_cast<Interrupter*>(self);
    if (me->aborted()) {
        me->m_reason.store(static_cast<int>(Reason::Abort));
        return 1;
    }
    const std::int64_t now = nowNs();
    const std::int64_t deadline = me->m_deadlineNs.load();
    const std::int64_t cap = me->m_capNs.load();
    if ((deadline != 0 && now > deadline) || (cap != 0 && now > cap)) {
        me->m_reason.store(static_cast<int>(Reason::Deadline));
        return 1;
    }
    if (me->m_floodGuard && me->flooded()) {
        me->m_reason.store(static_cast<int>(Reason::Flood));
        return 1;
    }
    return 0;
}

InputSource::InputSource() : m_interrupter(std::make_unique<Interrupter>()) {}

InputSource::~InputSource() {
    av_frame_free(&m_firstFrame);
    avcodec_free_context(&m_codec);
    closeNetwork();
}

void InputSource::closeNetwork() {
    if (m_format != nullptr) {
        avformat_close_input(&m_format);  // custom I/O is closed below
    }
    if (m_io != nullptr) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    if (m_http != nullptr) {
        avio_closep(&m_http);
    }
    delete static_cast<Replay*>(m_replay);
    m_replay = nullptr;
}

std::uint64_t InputSource::networkBytes() const {
    return m_replay != nullptr
               ? static_cast<const Replay*>(m_replay)->bytes.load(std::memory_order_relaxed)
               : 0;
}

bool PlayableRate(std::uint32_t rate) {
    return rate >= kMinPlayableRate && rate <= kMaxPlayableRate;
}

void InputSource::setReadPacer(ReadPacer* pacer) {
    if (m_replay != nullptr) {
        static_cast<Replay*>(m_replay)->pacer = pacer;
    }
}

std::string InputSource::pollMeta() const {
    return optString(m_http, "icy_metadata_packet");
}

// One open: follows playlists, tries their entries in order, and leaves the
// error code of the last failure.
class InputOpener {
  public:
    InputOpener(const NetConfig& config, const std::atomic<bool>* abort,
                std::chrono::milliseconds cap)
        : m_config(config),
          m_abort(abort),
          m_capAt(Clock::now() + (cap.count() > 0 ? std::min<std::chrono::milliseconds>(
                                                        cap, kMaxAttempts * (step() + step()))
                                                  : kMaxAttempts * (step() + step()))) {}

    std::unique_ptr<InputSource> open(const std::string& url, bool hls, int depth) {
        if (++m_attempts > kMaxAttempts) {
            return fail(kErrFileOpen);
        }
        if (!IsHttpUrl(url)) {
            return fail(kErrFileOpen);
        }
        auto source = std::make_unique<InputSource>();
        Interrupter& irq = source->interrupter();
        irq.setAbortFlag(m_abort);
        // TimeOut bounds each step (a lookup and connection, an answer, a
        // read), not the chain of redirects and playlists in front of the
        // stream; the chain as a whole is only kept from going on for ever.
        irq.setStepTimeout(step());
        irq.armStep();
        irq.setCap(std::max(
            std::chrono::milliseconds(1),
            std::chrono::duration_cast<std::chrono::milliseconds>(m_capAt - Clock::now())));
        const ScopedLookupGuard lookups(irq);
        std::unique_ptr<InputSource> result =
            hls ? openHls(std::move(source), url) : openHttp(std::move(source), url, depth);
        if (result) {
            Interrupter& kept = result->interrupter();
            kept.setAbortFlag(nullptr);
            kept.setCap(std::chrono::milliseconds(0));
            kept.setFloodGuard(false);
            kept.setStepTimeout(std::chrono::milliseconds(m_config.readTimeoutMs));
            kept.clearReason();
        }
        return result;
    }

    std::int32_t error() const { return m_error; }

  private:
    std::unique_ptr<InputSource> fail(std::int32_t code) {
        m_error = code;
        return nullptr;
    }

    std::unique_ptr<InputSource> failAv(InputSource& source, int averror) {
        switch (source.interrupter().reason()) {
            case Interrupter::Reason::Deadline:
                return fail(kErrTimeout);
            case Interrupter::Reason::Abort:
                return fail(kErrFileOpen);
            case Interrupter::Reason::Flood:
                return fail(kErrFileForm);
            case Interrupter::Reason::None:
                break;
        }
        return fail(ErrorFromAv(averror));
    }

    // One step: a connection and its answer, or one read.
    std::chrono::milliseconds step() const {
        return std::chrono::milliseconds(std::max(m_config.timeoutMs, m_config.readTimeoutMs));
    }

    AVDictionary* netOptions(bool icy) const {
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "user_agent", m_config.userAgent.c_str(), 0);
        av_dict_set(&opts, "icy", icy ? "1" : "0", 0);
        const std::uint64_t ioUs =
            std::uint64_t{std::max(m_config.timeoutMs, m_config.readTimeoutMs)} * 1000;
        av_dict_set_int(&opts, "timeout",
                        static_cast<std::int64_t>(std::min<std::uint64_t>(ioUs, INT32_MAX)), 0);
        av_dict_set_int(&opts, "rw_timeout",
                        static_cast<std::int64_t>(m_config.readTimeoutMs) * 1000, 0);
        return opts;
    }

    std::unique_ptr<InputSource> openHttp(std::unique_ptr<InputSource> source,
                                          const std::string& url, int depth) {
        source->m_url = url;
        AVIOInterruptCB cb{&Interrupter::check, &source->interrupter()};
        AVDictionary* opts = netOptions(true);
        // Connections, requests and answer headers, redirects included.
        source->interrupter().setFloodGuard(true);
        int rc = avio_open2(&source->m_http, url.c_str(), AVIO_FLAG_READ, &cb, &opts);
        source->interrupter().setFloodGuard(false);
        av_dict_free(&opts);
        if (rc < 0) {
            return failAv(*source, rc);
        }
        const std::string mime = optString(source->m_http, "mime_type");
        std::string location = optString(source->m_http, "location");
        if (location.empty()) {
            location = url;
        }

        auto replay = std::make_unique<Replay>();
        replay->inner = source->m_http;
        DocKind kind = KindFromContentType(mime);
        if (kind == DocKind::Unknown && !looksLikeAudioType(mime)) {
            kind = KindFromUrl(location);
            if (kind == DocKind::Unknown) {
                // text/plain, octet-stream or nothing: look at the first bytes.
                char head[512];
                source->interrupter().armStep();
                while (replay->prefix.size() < 64) {
                    const int got =
                        avio_read_partial(source->m_http, reinterpret_cast<unsigned char*>(head),
                                          static_cast<int>(sizeof head));
                    if (got <= 0) {
                        break;
                    }
                    replay->prefix.append(head, static_cast<std::size_t>(got));
                }
                kind = SniffKind(replay->prefix);
            }
        }
        if (kind == DocKind::Html) {
            return fail(kErrFileForm);
        }
        if (kind == DocKind::Pls || kind == DocKind::M3u || kind == DocKind::Xspf ||
            kind == DocKind::Hls) {
            return openPlaylist(std::move(source), std::move(replay->prefix), kind, location,
                                depth);
        }

        const char* forced = formatForContentType(mime);
        source->m_replay = replay.release();
        // As large as the HTTP context's own buffer, so that a paced read takes
        // all that gathered in the socket during the pause in one call.
        constexpr int kIoBuffer = 32768;
        auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
        source->m_io = avio_alloc_context(buffer, kIoBuffer, 0, source->m_replay, &replayRead,
                                          nullptr, nullptr);
        if (source->m_io == nullptr) {
            av_free(buffer);
            return fail(kErrMemory);
        }
        source->m_format = avformat_alloc_context();
        source->m_format->pb = source->m_io;
        source->m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
        source->m_format->interrupt_callback = cb;
        source->interrupter().armStep();
        AVDictionary* fopts = nullptr;
        if (forced == nullptr) {
            // FFmpeg would probe up to a megabyte (about 4 s of a live MP3).
            av_dict_set(&fopts, "formatprobesize", "32768", 0);
        }
        const AVInputFormat* format = forced ? av_find_input_format(forced) : nullptr;
        rc = avformat_open_input(&source->m_format, location.c_str(), format, &fopts);
        av_dict_free(&fopts);
        if (rc < 0) {
            return failAv(*source, rc);
        }
        const std::string icy = optString(source->m_http, "icy_metadata_headers");
        source->m_icy = IcyHeaderLines(icy);
        if (!mime.empty()) {
            source->m_httpLines.push_back("Content-Type: " + mime);
        }
        source->m_httpLines.insert(source->m_httpLines.end(), source->m_icy.begin(),
                                   source->m_icy.end());
        source->m_meta = source->pollMeta();
        return finishDecoder(std::move(source));
    }

    std::unique_ptr<InputSource> openPlaylist(std::unique_ptr<InputSource> source, std::string body,
                                              DocKind kind, const std::string& location,
                                              int depth) {
        char chunk[4096];
        while (body.size() < kMaxPlaylistBytes) {
            source->interrupter().armStep();
            const int got =
                avio_read_partial(source->m_http, reinterpret_cast<unsigned char*>(chunk),
                                  static_cast<int>(sizeof chunk));
            if (got == AVERROR_EOF || got == 0) {
                break;
            }
            if (got < 0) {
                return failAv(*source, got);
            }
            body.append(chunk, static_cast<std::size_t>(got));
        }
        if ((kind == DocKind::M3u || kind == DocKind::Hls) && IsHlsPlaylist(body)) {
            source.reset();
            return open(location, true, depth);
        }
        if (kind == DocKind::Hls) {
            kind = DocKind::M3u;
        }
        source.reset();
        if (depth >= kMaxDepth) {
            return fail(kErrFileOpen);
        }
        const std::vector<std::string> entries = ParsePlaylist(kind, body, location);
        m_error = kErrFileOpen;  // a playlist without a playable entry
        for (const std::string& entry : entries) {
            if (m_abort != nullptr && m_abort->load()) {
                return fail(kErrFileOpen);
            }
            if (auto opened = open(entry, false, depth + 1)) {
                return opened;
            }
        }
        return nullptr;
    }

    std::unique_ptr<InputSource> openHls(std::unique_ptr<InputSource> source,
                                         const std::string& url) {
        source->m_url = url;
        source->m_format = avformat_alloc_context();
        source->m_format->interrupt_callback = {&Interrupter::check, &source->interrupter()};
        AVDictionary* opts = netOptions(false);
        av_dict_set(&opts, "extension_picky", "0", 0);
        // Segments and keys come over the network only, never from local files.
        av_dict_set(&opts, "protocol_whitelist", "http,https,tcp,tls,crypto", 0);
        const int rc =
            avformat_open_input(&source->m_format, url.c_str(), av_find_input_format("hls"), &opts);
        av_dict_free(&opts);
        if (rc < 0) {
            return failAv(*source, rc);
        }
        return finishDecoder(std::move(source));
    }

    // Picks the audio stream, opens its decoder and decodes the first frame,
    // which fixes the stream's rate and channel count.
    std::unique_ptr<InputSource> finishDecoder(std::unique_ptr<InputSource> source) {
        AVFormatContext* fmt = source->m_format;
        const AVCodec* decoder = nullptr;
        int index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (index == AVERROR_STREAM_NOT_FOUND) {
            // With the demuxer forced and no stream-info pass, an MP3 or ADTS
            // stream has no rate or channel count yet, and FFmpeg's choice
            // passes over it: take the first audio stream with a decoder; the
            // first decoded frame below fixes its format.
            for (unsigned i = 0; i < fmt->nb_streams; ++i) {
                const AVCodecParameters* par = fmt->streams[i]->codecpar;
                if (par->codec_type != AVMEDIA_TYPE_AUDIO) {
                    continue;
                }
                decoder = avcodec_find_decoder(par->codec_id);
                index = decoder != nullptr ? static_cast<int>(i) : AVERROR_DECODER_NOT_FOUND;
                if (decoder != nullptr) {
                    break;
                }
            }
        }
        if (index == AVERROR_DECODER_NOT_FOUND) {
            return fail(kErrCodec);
        }
        if (index < 0) {
            return failAv(*source, index == AVERROR_STREAM_NOT_FOUND ? AVERROR_INVALIDDATA : index);
        }
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            // For HLS this also keeps the demuxer to the one variant that holds it.
            fmt->streams[i]->discard =
                static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        }
        source->m_streamIndex = index;
        source->m_codec = avcodec_alloc_context3(decoder);
        if (source->m_codec == nullptr) {
            return fail(kErrMemory);
        }
        if (avcodec_parameters_to_context(source->m_codec, fmt->streams[index]->codecpar) < 0) {
            return fail(kErrCodec);
        }
        source->m_codec->thread_count = 1;
        if (avcodec_open2(source->m_codec, decoder, nullptr) < 0) {
            return fail(kErrCodec);
        }

        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        std::size_t bytes = 0;
        int rc = 0;
        std::int32_t result = kErrFileForm;
        source->interrupter().armStep();
        while (true) {
            rc = av_read_frame(fmt, packet);
            if (rc == AVERROR(EAGAIN)) {
                if (Interrupter::check(&source->interrupter()) != 0) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if (rc < 0) {
                break;
            }
            if (packet->stream_index != index) {
                av_packet_unref(packet);
                continue;
            }
            source->interrupter().armStep();
            bytes += static_cast<std::size_t>(packet->size);
            avcodec_send_packet(source->m_codec, packet);  // bad data: try the next packet
            av_packet_unref(packet);
            if (avcodec_receive_frame(source->m_codec, frame) == 0 && frame->nb_samples > 0 &&
                frame->sample_rate > 0 && frame->ch_layout.nb_channels > 0) {
                result = kErrOk;
                break;
            }
            if (bytes > kMaxFirstFrameBytes) {
                break;  // nothing decodable: not the audio it claims to be
            }
        }
        av_packet_free(&packet);
        if (result != kErrOk) {
            av_frame_free(&frame);
            return rc < 0 ? failAv(*source, rc) : fail(result);
        }
        const auto chans = static_cast<std::uint32_t>(frame->ch_layout.nb_channels);
        // A format the mixer cannot sensibly play (a WAV header that says
        // 1 Hz, a hundred channels) is refused here rather than played as
        // silence or stretched into gigabytes.
        if (chans > kMaxChannels || !PlayableRate(static_cast<std::uint32_t>(frame->sample_rate))) {
            av_frame_free(&frame);
            return fail(kErrFormat);
        }
        source->m_firstFrame = frame;
        source->m_rate = static_cast<std::uint32_t>(frame->sample_rate);
        source->m_chans = chans;
        source->m_live = fmt->duration == AV_NOPTS_VALUE || fmt->duration <= 0;
        source->m_hls = fmt->iformat != nullptr && std::strcmp(fmt->iformat->name, "hls") == 0;
        return source;
    }

    const NetConfig& m_config;
    const std::atomic<bool>* m_abort;
    const Clock::time_point m_capAt;  // the end of the whole open
    int m_attempts = 0;
    std::int32_t m_error = kErrFileOpen;
};

std::unique_ptr<InputSource> OpenInput(const std::string& url, bool hls, const NetConfig& config,
                                       const std::atomic<bool>* abort, std::int32_t& error,
                                       std::chrono::milliseconds cap) {
    InputOpener opener(config, abort, cap);
    std::unique_ptr<InputSource> source = opener.open(url, hls, 0);
    error = source ? kErrOk : opener.error();
    return source;
}

}  // namespace qvm::audio
