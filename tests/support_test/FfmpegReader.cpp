#include "support_test/FfmpegReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <memory>

namespace qvm::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string TakeOption(void* object, const char* name);

// The interrupt callback runs before every socket read, also inside the
// probing reads of avformat_open_input and avformat_find_stream_info. Polling
// the metadata there sees every block, even several that arrive while the
// probe reads ahead; after the reads only the latest would still be there.
struct ReadState {
    Clock::time_point deadline;
    AVFormatContext* format = nullptr;
    ReadResult* result = nullptr;
    std::string lastMeta;

    void pollMetadata() {
        if (!format || !format->pb) {
            return;
        }
        std::string meta = TakeOption(format->pb, "icy_metadata_packet");
        if (!meta.empty() && meta != lastMeta) {
            result->metadata.emplace_back(result->audio.seconds(), meta);
            lastMeta = std::move(meta);
        }
    }
};

int Interrupt(void* opaque) {
    auto* state = static_cast<ReadState*>(opaque);
    state->pollMetadata();
    return Clock::now() > state->deadline ? 1 : 0;
}

std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string TakeOption(void* object, const char* name) {
    std::uint8_t* value = nullptr;
    if (!object || av_opt_get(object, name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value) {
        return {};
    }
    std::string text(reinterpret_cast<const char*>(value));
    av_free(value);
    return text;
}

}  // namespace

ReadResult ReadStream(const std::string& url, const ReadOptions& options) {
    ReadResult result;
    ReadState state;
    state.deadline = Clock::now() + options.timeout;
    state.result = &result;

    AVFormatContext* format = avformat_alloc_context();
    state.format = format;
    format->interrupt_callback = {&Interrupt, &state};
    AVDictionary* open = nullptr;
    av_dict_set(&open, "icy", options.icy ? "1" : "0", 0);
    av_dict_set(&open, "user_agent", options.userAgent.c_str(), 0);
    av_dict_set(&open, "rw_timeout", "5000000", 0);
    // The mp3 probe waits for 128 KiB by default: seconds on a live stream.
    av_dict_set(&open, "formatprobesize", "32768", 0);
    int rc = avformat_open_input(&format, url.c_str(), nullptr, &open);
    av_dict_free(&open);
    if (rc < 0) {
        result.openError = rc;
        result.openErrorText = ErrorText(rc);
        result.metadata.clear();
        return result;  // avformat_open_input frees the context on failure
    }
    // Closing may still consult the interrupt callback; it must not reach the
    // context any more by then.
    const auto closeInput = [&state](AVFormatContext* f) {
        state.format = nullptr;
        avformat_close_input(&f);
    };
    std::unique_ptr<AVFormatContext, decltype(closeInput)> formatOwner(format, closeInput);
    rc = avformat_find_stream_info(format, nullptr);
    const int index =
        rc < 0 ? rc : av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        result.openError = index;
        result.openErrorText = ErrorText(index);
        return result;
    }
    const AVCodecParameters* par = format->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> decoder(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    avcodec_parameters_to_context(decoder.get(), par);
    decoder->thread_count = 1;
    if (!codec || avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        result.openError = AVERROR_DECODER_NOT_FOUND;
        result.openErrorText = "no decoder";
        return result;
    }
    result.codec = avcodec_get_name(par->codec_id);
    result.icyHeaders = TakeOption(format->pb, "icy_metadata_headers");
    result.audio.sampleRate = decoder->sample_rate;
    result.audio.channels = decoder->ch_layout.nb_channels;

    SwrContext* swr = nullptr;
    swr_alloc_set_opts2(&swr, &decoder->ch_layout, AV_SAMPLE_FMT_S16, decoder->sample_rate,
                        &decoder->ch_layout, decoder->sample_fmt, decoder->sample_rate, 0, nullptr);
    std::unique_ptr<SwrContext, void (*)(SwrContext*)> swrOwner(
        swr, [](SwrContext* s) { swr_free(&s); });
    if (!swr || swr_init(swr) < 0) {
        result.openError = AVERROR(EINVAL);
        result.openErrorText = "cannot convert the decoded format";
        return result;
    }

    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto maxSamples = static_cast<std::size_t>(options.maxSeconds * result.audio.sampleRate) *
                            static_cast<std::size_t>(result.audio.channels);
    while (result.audio.samples.size() < maxSamples) {
        rc = av_read_frame(format, packet);
        if (rc < 0) {
            result.endOfStream = rc == AVERROR_EOF || rc == AVERROR(EIO);
            break;
        }
        state.pollMetadata();
        if (packet->stream_index == index && avcodec_send_packet(decoder.get(), packet) >= 0) {
            while (avcodec_receive_frame(decoder.get(), frame) >= 0) {
                const std::size_t at = result.audio.samples.size();
                result.audio.samples.resize(
                    at + static_cast<std::size_t>(frame->nb_samples * result.audio.channels));
                std::uint8_t* out =
                    reinterpret_cast<std::uint8_t*>(result.audio.samples.data() + at);
                const int got = swr_convert(swr, &out, frame->nb_samples,
                                            const_cast<const std::uint8_t**>(frame->extended_data),
                                            frame->nb_samples);
                result.audio.samples.resize(
                    at + static_cast<std::size_t>(std::max(0, got) * result.audio.channels));
            }
        }
        av_packet_unref(packet);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    return result;
}

}  // namespace qvm::test
