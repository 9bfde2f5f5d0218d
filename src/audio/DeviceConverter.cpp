#include "audio/DeviceConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace qvm::audio {

namespace {
// The compensation is given to libswresample as a number of output samples
// to add over this many: ten seconds at the device rate resolve a ratio to
// about 2 ppm, and the drift control's loop takes care of the rest.
constexpr int kCompensationSeconds = 10;
}  // namespace

DeviceConverter::DeviceConverter(std::uint32_t inRate, std::uint32_t inChans, std::uint32_t outRate,
                                 std::uint32_t maxPushFrames)
    : m_inRate(inRate), m_outRate(outRate) {
    // Room for one push plus what the filter may hold back and release later,
    // so that the mixer does not allocate while it runs.
    const std::size_t outFrames =
        static_cast<std::size_t>(maxPushFrames) * outRate / (inRate != 0 ? inRate : 1) * 11 / 10 +
        512;
    m_queue.reserve(outFrames * 4);
    if (inChans == 0 || inRate == 0 || outRate == 0) {
        m_valid = false;
        return;
    }
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, static_cast<int>(inChans));
    AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_STEREO;
    int rc =
        swr_alloc_set_opts2(&m_swr, &outLayout, AV_SAMPLE_FMT_FLT, static_cast<int>(outRate),
                            &inLayout, AV_SAMPLE_FMT_S16, static_cast<int>(inRate), 0, nullptr);
    if (rc >= 0 && inChans > 2) {
        // With float output libswresample leaves the down-mix matrix as it is,
        // and a 5.1 stream with the same signal on every channel would come out
        // nearly 7 dB over full scale: keep the sum of each row within 1.
        rc = av_opt_set_double(m_swr, "rematrix_maxval", 1.0, 0);
    }
    if (rc >= 0 && inChans == 1) {
        const double matrix[2] = {1.0, 1.0};
        rc = swr_set_matrix(m_swr, matrix, 1);
    }
    if (rc >= 0) {
        rc = swr_init(m_swr);
    }
    // Compensation switched on now, while allocating is still fine: it turns a
    // same-rate conversion into a resampling one and builds the finer filter
    // bank that arbitrary ratios need.
    const int distance = static_cast<int>(outRate) * kCompensationSeconds;
    if (rc >= 0) {
        rc = swr_set_compensation(m_swr, 1, distance);
    }
    if (rc >= 0) {
        rc = swr_set_compensation(m_swr, 0, distance);
    }
    av_channel_layout_uninit(&inLayout);
    if (rc < 0) {
        swr_free(&m_swr);
        m_valid = false;
    }
}

DeviceConverter::~DeviceConverter() {
    swr_free(&m_swr);
}

void DeviceConverter::setRatio(double ratio) {
    if (!m_valid || ratio == m_ratio) {
        return;
    }
    m_ratio = ratio;
    // Taking the input `ratio` times faster means 1/ratio of the output per
    // input: fewer output samples over the distance.
    const int distance = static_cast<int>(m_outRate) * kCompensationSeconds;
    const int delta = static_cast<int>(std::lround(distance * (1.0 / ratio - 1.0)));
    if (delta != m_delta && swr_set_compensation(m_swr, delta, distance) >= 0) {
        m_delta = delta;
    }
}

std::uint32_t DeviceConverter::inputFor(std::uint32_t frames) const {
    const std::int64_t missing = std::int64_t{frames} + kCushionFrames - queued();
    if (missing <= 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(
        std::ceil(static_cast<double>(missing) * m_inRate * m_ratio / m_outRate));
}

void DeviceConverter::push(const std::int16_t* in, std::uint32_t frames) {
    if (!m_valid || frames == 0) {
        return;
    }
    if (m_head > 0 && m_head * 2 >= m_queue.size()) {
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    const std::size_t start = m_queue.size();
    const int room = swr_get_out_samples(m_swr, static_cast<int>(frames));
    if (room <= 0) {
        return;
    }
    m_queue.resize(start + static_cast<std::size_t>(room) * 2);
    auto* outPtr = reinterpret_cast<std::uint8_t*>(m_queue.data() + start);
    const auto* inPtr = reinterpret_cast<const std::uint8_t*>(in);
    const int got = swr_convert(m_swr, &outPtr, room, &inPtr, static_cast<int>(frames));
    m_queue.resize(start + static_cast<std::size_t>(std::max(got, 0)) * 2);
}

std::uint32_t DeviceConverter::pull(float* out, std::uint32_t frames) {
    if (!m_primed) {
        m_primed = true;
        const std::uint32_t have = queued();
        if (have < frames + kCushionFrames) {
            m_queue.insert(m_queue.begin() + static_cast<std::ptrdiff_t>(m_head),
                           std::size_t{frames + kCushionFrames - have} * 2, 0.0f);
        }
    }
    const std::uint32_t n = std::min(frames, queued());
    std::memcpy(out, m_queue.data() + m_head, std::size_t{n} * 2 * sizeof(float));
    m_head += std::size_t{n} * 2;
    if (m_head == m_queue.size()) {
        m_queue.clear();
        m_head = 0;
    }
    return n;
}

}  // namespace qvm::audio
