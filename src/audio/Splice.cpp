#include "audio/Splice.h"

#include <algorithm>
#include <cmath>

namespace qvm::audio {

AudioTail::AudioTail(std::size_t capacityFrames, std::uint32_t chans)
    : m_capacity(capacityFrames * (chans == 0 ? 1 : chans)), m_chans(chans == 0 ? 1 : chans) {}

void AudioTail::append(const std::int16_t* samples, std::size_t frames) {
    if (m_capacity == 0) {
        return;
    }
    if (m_ring.empty()) {
        m_ring.resize(m_capacity);
    }
    std::size_t count = frames * m_chans;
    if (count > m_capacity) {
        samples += count - m_capacity;
        count = m_capacity;
    }
    const std::size_t first = std::min(count, m_capacity - m_next);
    std::copy(samples, samples + first, m_ring.begin() + static_cast<std::ptrdiff_t>(m_next));
    std::copy(samples + first, samples + count, m_ring.begin());
    m_next = (m_next + count) % m_capacity;
    m_filled = std::min(m_capacity, m_filled + count);
}

std::vector<std::int16_t> AudioTail::copy() const {
    std::vector<std::int16_t> out(m_filled);
    const std::size_t start = (m_next + m_capacity - m_filled) % (m_capacity == 0 ? 1 : m_capacity);
    const std::size_t first = std::min(m_filled, m_capacity - start);
    std::copy(m_ring.begin() + static_cast<std::ptrdiff_t>(start),
              m_ring.begin() + static_cast<std::ptrdiff_t>(start + first), out.begin());
    std::copy(m_ring.begin(), m_ring.begin() + static_cast<std::ptrdiff_t>(m_filled - first),
              out.begin() + static_cast<std::ptrdiff_t>(first));
    return out;
}

namespace {

double RmsOf(std::span<const std::int16_t> samples) {
    if (samples.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (const std::int16_t s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

// The squared difference of two runs of samples, or something above `bound`
// as soon as it is certain to exceed it: almost every place of the new audio
// is ruled out after its first few samples.
std::uint64_t ErrorWithin(const std::int16_t* a, const std::int16_t* b, std::size_t count,
                          std::uint64_t bound) {
    constexpr std::size_t kChunk = 32;
    std::uint64_t sum = 0;
    std::size_t i = 0;
    while (i < count) {
        const std::size_t end = std::min(count, i + kChunk);
        std::int64_t chunk = 0;
        for (; i < end; ++i) {
            const std::int32_t d = std::int32_t{a[i]} - b[i];
            chunk += std::int64_t{d} * d;
        }
        sum += static_cast<std::uint64_t>(chunk);
        if (sum > bound) {
            return sum;
        }
    }
    return sum;
}

}  // namespace

bool SpliceFinder::start(std::span<const std::int16_t> audio, std::uint32_t chans,
                         std::uint32_t rate) {
    reset();
    m_chans = chans == 0 ? 1 : chans;
    const std::size_t probeFrames = std::max<std::size_t>(1, std::size_t{rate} * kProbeMs / 1000);
    const std::size_t frames = audio.size() / m_chans;
    // The newest loud enough tenth of a second, stepping back by halves.
    const std::size_t stride = std::max<std::size_t>(1, probeFrames / 2);
    for (std::size_t after = 0; after + probeFrames <= frames; after += stride) {
        const std::size_t begin = (frames - after - probeFrames) * m_chans;
        const auto probe = audio.subspan(begin, probeFrames * m_chans);
        if (RmsOf(probe) >= kMinProbeRms) {
            m_probe.assign(probe.begin(), probe.end());
            m_after = after;
            m_nextEnd = probeFrames;
            m_bound = static_cast<std::uint64_t>(kMaxNearRms * kMaxNearRms *
                                                 static_cast<double>(m_probe.size()));
            return true;
        }
    }
    return false;
}

void SpliceFinder::reset() {
    m_probe.clear();
    m_after = 0;
    m_nextEnd = 0;
    m_bestEnd.reset();
    m_bestError = 0;
}

void SpliceFinder::search(std::span<const std::int16_t> fresh) {
    if (m_probe.empty() || exact()) {
        return;
    }
    const std::size_t probeFrames = m_probe.size() / m_chans;
    const std::size_t frames = fresh.size() / m_chans;
    for (; m_nextEnd <= frames; ++m_nextEnd) {
        const std::uint64_t bound = m_bestEnd ? m_bestError : m_bound;
        const std::int16_t* at = fresh.data() + (m_nextEnd - probeFrames) * m_chans;
        const std::uint64_t error = ErrorWithin(at, m_probe.data(), m_probe.size(), bound);
        if (error <= bound && (!m_bestEnd || error < m_bestError)) {
            m_bestEnd = m_nextEnd;
            m_bestError = error;
            if (error == 0) {
                ++m_nextEnd;
                return;
            }
        }
    }
}

std::optional<std::size_t> SpliceFinder::exact() const {
    if (m_bestEnd && m_bestError == 0) {
        return *m_bestEnd + m_after;
    }
    return std::nullopt;
}

std::optional<std::size_t> SpliceFinder::best() const {
    if (m_bestEnd) {
        return *m_bestEnd + m_after;
    }
    return std::nullopt;
}

void BendOnto(const std::int16_t* lastOld, std::int16_t* fresh, std::size_t frames,
              std::size_t rampFrames, std::uint32_t chans) {
    const std::size_t n = std::min(frames, rampFrames);
    if (n == 0) {
        return;
    }
    for (std::uint32_t c = 0; c < chans; ++c) {
        const double step = static_cast<double>(lastOld[c]) - fresh[c];
        for (std::size_t i = 0; i < n; ++i) {
            // A raised cosine from the old value to none of it: no corner at
            // either end of the bend.
            const double weight = 0.5 + 0.5 * std::cos(M_PI * static_cast<double>(i + 1) /
                                                       static_cast<double>(n + 1));
            const double v = fresh[i * chans + c] + step * weight;
            fresh[i * chans + c] =
                static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
        }
    }
}

}  // namespace qvm::audio
