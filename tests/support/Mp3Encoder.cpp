#include "support/Mp3Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvm::test {

Mp3Encoder::~Mp3Encoder() {
    // A connection that ends early leaves frames inside libmp3lame, which
    // warns about each one on closing; drain them quietly instead.
    if (m_ctx && m_packet && !m_finished && avcodec_is_open(m_ctx) &&
        avcodec_send_frame(m_ctx, nullptr) == 0) {
        while (avcodec_receive_packet(m_ctx, m_packet) == 0) {
            av_packet_unref(m_packet);
        }
    }
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    avcodec_free_context(&m_ctx);
}

std::string Mp3Encoder::open(int sampleRate, int channels, int bitrateKbps) {
    if (channels != 1 && channels != 2) {
        return "channels must be 1 or 2";
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libmp3lame");
    if (!codec) {
        return "FFmpeg has no libmp3lame encoder";
    }
    m_ctx = avcodec_alloc_context3(codec);
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (!m_ctx || !m_frame || !m_packet) {
        return "out of memory";
    }
    m_ctx->sample_rate = sampleRate;
    m_ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_ctx->bit_rate = static_cast<std::int64_t>(bitrateKbps) * 1000;
    m_ctx->time_base = AVRational{1, sampleRate};
    av_channel_layout_default(&m_ctx->ch_layout, channels);
    const int rc = avcodec_open2(m_ctx, codec, nullptr);
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(rc, text, sizeof text);
        return "libmp3lame refuses " + std::to_string(sampleRate) + " Hz, " +
               std::to_string(channels) + " channels, " + std::to_string(bitrateKbps) +
               " kbit/s: " + text;
    }
    m_rate = sampleRate;
    m_frame->nb_samples = m_ctx->frame_size;
    m_frame->format = m_ctx->sample_fmt;
    av_channel_layout_copy(&m_frame->ch_layout, &m_ctx->ch_layout);
    if (av_frame_get_buffer(m_frame, 0) < 0) {
        return "out of memory";
    }
    return {};
}

int Mp3Encoder::initialPadding() const {
    return m_ctx ? m_ctx->initial_padding : 0;
}

void Mp3Encoder::addTone(double frequency, double amplitude, std::int64_t count) {
    if (!m_ctx || m_finished) {
        return;
    }
    const double step = 2.0 * std::numbers::pi * frequency / m_rate;
    const bool silent = frequency <= 0.0 || amplitude <= 0.0;
    while (count > 0) {
        if (m_fill == 0 && av_frame_make_writable(m_frame) < 0) {
            return;
        }
        const int n = static_cast<int>(std::min<std::int64_t>(count, m_frame->nb_samples - m_fill));
        auto* first = reinterpret_cast<float*>(m_frame->data[0]) + m_fill;
        for (int i = 0; i < n; ++i) {
            first[i] = silent ? 0.0f : static_cast<float>(amplitude * std::sin(m_phase));
            if (!silent) {
                m_phase += step;
                if (m_phase > 2.0 * std::numbers::pi) {
                    m_phase -= 2.0 * std::numbers::pi;
                }
            }
        }
        for (int ch = 1; ch < m_frame->ch_layout.nb_channels; ++ch) {
            std::copy(first, first + n, reinterpret_cast<float*>(m_frame->data[ch]) + m_fill);
        }
        m_fill += n;
        count -= n;
        if (m_fill == m_frame->nb_samples) {
            m_frame->pts = m_samplesIn;
            encodeFrame(m_frame);
            m_samplesIn += m_fill;
            m_fill = 0;
        }
    }
}

void Mp3Encoder::finish() {
    if (!m_ctx || m_finished) {
        return;
    }
    if (m_fill > 0) {
        // The last frame may be short; the encoder pads it.
        m_frame->nb_samples = m_fill;
        m_frame->pts = m_samplesIn;
        encodeFrame(m_frame);
        m_samplesIn += m_fill;
        m_fill = 0;
    }
    encodeFrame(nullptr);
    m_finished = true;
}

void Mp3Encoder::encodeFrame(AVFrame* frame) {
    if (avcodec_send_frame(m_ctx, frame) < 0) {
        return;
    }
    while (avcodec_receive_packet(m_ctx, m_packet) == 0) {
        Mp3Packet packet;
        packet.data.assign(m_packet->data, m_packet->data + m_packet->size);
        packet.pts = m_packet->pts;
        packet.duration = m_packet->duration;
        m_packets.push_back(std::move(packet));
        av_packet_unref(m_packet);
    }
}

Mp3Packet Mp3Encoder::takePacket() {
    Mp3Packet packet = std::move(m_packets.front());
    m_packets.pop_front();
    return packet;
}

std::string CheckMp3Format(int sampleRate, int channels, int bitrateKbps) {
    Mp3Encoder encoder;
    return encoder.open(sampleRate, channels, bitrateKbps);
}

}  // namespace qvm::test
