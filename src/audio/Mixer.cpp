#include "audio/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace qvm::audio {

namespace {

// Clips to the 16-bit range and rounds half away from zero. Written so that it
// vectorises: separate buffers, and the operand order of maxps and minps.
void ClipToInt16(const float* __restrict in, std::int16_t* __restrict out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        float v = in[i] > -32768.0f ? in[i] : -32768.0f;
        v = v < 32767.0f ? v : 32767.0f;
        out[i] = static_cast<std::int16_t>(static_cast<std::int32_t>(v + std::copysign(0.5f, v)));
    }
}

// The largest magnitudes of the first two channels (of the only one, for
// mono) among `frames` interleaved frames. Stereo gets a loop of its own so
// that it vectorises.
void PeaksOf(const std::int16_t* __restrict samples, std::size_t frames, std::uint32_t chans,
             std::uint32_t& left, std::uint32_t& right) {
    std::int32_t l = 0;
    std::int32_t r = 0;
    const auto magnitude = [](std::int32_t v) { return v < 0 ? -v : v; };
    if (chans == 2) {
        for (std::size_t i = 0; i < frames; ++i) {
            const std::int32_t a = magnitude(samples[2 * i]);
            const std::int32_t b = magnitude(samples[2 * i + 1]);
            l = l > a ? l : a;
            r = r > b ? r : b;
        }
    } else {
        for (std::size_t i = 0; i < frames; ++i) {
            const std::int32_t a = magnitude(samples[i * chans]);
            l = l > a ? l : a;
            if (chans > 1) {
                const std::int32_t b = magnitude(samples[i * chans + 1]);
                r = r > b ? r : b;
            }
        }
        if (chans == 1) {
            r = l;
        }
    }
    left = static_cast<std::uint32_t>(l);
    right = static_cast<std::uint32_t>(r);
}

}  // namespace

Mixer::Mixer(std::uint32_t deviceRate, std::uint32_t periodFrames)
    : m_rate(deviceRate),
      m_period(periodFrames),
      m_converted(std::size_t{periodFrames} * 2),
      m_sum(std::size_t{periodFrames} * 2) {}

Mixer::~Mixer() = default;

bool Mixer::add(MixChannel* channel) {
    if (contains(channel)) {
        return true;
    }
    // Native frames per period, rounded up, for the largest share a period takes.
    const std::size_t maxFrames =
        (std::uint64_t{m_period} * channel->rate + m_rate - 1) / m_rate + 1;
    Slot slot;
    slot.channel = channel;
    slot.converter = std::make_unique<DeviceConverter>(channel->rate, channel->chans, m_rate,
                                                       static_cast<std::uint32_t>(maxFrames));
    if (!slot.converter->valid()) {
        return false;
    }
    slot.applied = channel->volume.load(std::memory_order_relaxed);
    m_native.resize(std::max(m_native.size(), maxFrames * channel->chans));
    m_slots.push_back(std::move(slot));
    return true;
}

void Mixer::remove(MixChannel* channel) {
    std::erase_if(m_slots, [channel](const Slot& s) { return s.channel == channel; });
}

bool Mixer::contains(const MixChannel* channel) const {
    return std::any_of(m_slots.begin(), m_slots.end(),
                       [channel](const Slot& s) { return s.channel == channel; });
}

void Mixer::mix(std::int16_t* out, std::uint32_t periods) {
    m_anyDrained = false;
    periods = std::max<std::uint32_t>(periods, 1);
    for (Slot& slot : m_slots) {
        slot.rampFrom = slot.applied;
        slot.rampTo = slot.channel->volume.load(std::memory_order_relaxed);
        slot.peakL = slot.peakR = 0;
    }
    for (std::uint32_t part = 0; part < periods; ++part) {
        std::fill(m_sum.begin(), m_sum.end(), 0.0f);
        for (Slot& slot : m_slots) {
            mixSlot(slot, part, periods);
        }
        ClipToInt16(m_sum.data(), out + std::size_t{part} * m_sum.size(), m_sum.size());
    }
}

void Mixer::mixSlot(Slot& slot, std::uint32_t part, std::uint32_t parts) {
    MixChannel& ch = *slot.channel;
    const std::uint32_t chans = ch.chans;

    // This period's share of native frames; the remainder carries over, so the
    // stream is taken at exactly its own rate on average.
    slot.phase += std::uint64_t{m_period} * ch.rate;
    const auto want = static_cast<std::uint32_t>(slot.phase / m_rate);
    slot.phase -= std::uint64_t{want} * m_rate;

    const std::size_t wantBytes = std::size_t{want} * ch.frameBytes();
    const std::size_t got = ch.ring.read(m_native.data(), wantBytes);
    if (got > 0) {
        ch.tookBlock();
    }
    const std::size_t gotSamples = got / 2;

    // The DSP callbacks see only real samples, in the stream's own format.
    if (got > 0) {
        for (const DspEntry& dsp : ch.dsps) {
            try {
                dsp.proc(dsp.handle, ch.handle, m_native.data(), static_cast<std::uint32_t>(got),
                         dsp.user);
            } catch (...) {
                // A failing callback costs its block, never the mix.
            }
        }
    }

    std::uint32_t peakL = 0;
    std::uint32_t peakR = 0;
    PeaksOf(m_native.data(), gotSamples / chans, chans, peakL, peakR);
    slot.peakL = std::max(slot.peakL, peakL);
    slot.peakR = std::max(slot.peakR, peakR);
    ch.level.store(slot.peakL | (slot.peakR << 16), std::memory_order_relaxed);

    if (got < wantBytes) {
        std::memset(m_native.data() + gotSamples, 0, wantBytes - got);
        if (ch.readerDone.load(std::memory_order_acquire) && ch.ring.readable() == 0) {
            ch.drained.store(true, std::memory_order_release);
            m_anyDrained = true;
        }
    }

    const float target = part + 1 == parts ? slot.rampTo
                                           : slot.rampFrom + (slot.rampTo - slot.rampFrom) *
                                                                 static_cast<float>(part + 1) /
                                                                 static_cast<float>(parts);
    const float from = slot.applied;
    slot.applied = target;
    if (from == 0.0f && target == 0.0f) {
        // Unheard: the stream is still consumed, tapped and metered above, but
        // converting it would be wasted work. The filter restarts when it is
        // heard again, from behind a ramp that starts at zero.
        slot.stale = true;
        return;
    }
    if (slot.stale) {
        slot.converter->reset();
        slot.stale = false;
    }
    slot.converter->push(m_native.data(), want);
    const std::uint32_t n = slot.converter->pull(m_converted.data(), m_period);

    const float step = (target - from) / static_cast<float>(m_period) * 32768.0f;
    // Should the converter ever come up short, the gap goes in front, where the
    // stream would have started anyway, rather than into the middle of it.
    const std::uint32_t offset = m_period - n;
    float* sum = m_sum.data() + std::size_t{offset} * 2;
    const float* in = m_converted.data();
    const float first = from * 32768.0f + step * static_cast<float>(offset + 1);
    for (std::uint32_t j = 0; j < 2 * n; ++j) {
        sum[j] += in[j] * (first + step * static_cast<float>(j >> 1));
    }
}

}  // namespace qvm::audio
