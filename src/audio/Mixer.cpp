#include "audio/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace qvm::audio {

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

void Mixer::mix(std::int16_t* out) {
    std::fill(m_sum.begin(), m_sum.end(), 0.0f);
    m_anyDrained = false;
    for (Slot& slot : m_slots) {
        mixSlot(slot);
    }
    for (std::size_t i = 0; i < m_sum.size(); ++i) {
        const float v = std::clamp(m_sum[i], -32768.0f, 32767.0f);
        out[i] = static_cast<std::int16_t>(std::lrint(v));
    }
}

void Mixer::mixSlot(Slot& slot) {
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
    for (std::size_t i = 0; i < gotSamples; i += chans) {
        peakL = std::max<std::uint32_t>(peakL, static_cast<std::uint32_t>(std::abs(m_native[i])));
        if (chans > 1) {
            peakR = std::max<std::uint32_t>(peakR,
                                            static_cast<std::uint32_t>(std::abs(m_native[i + 1])));
        }
    }
    if (chans == 1) {
        peakR = peakL;
    }
    ch.level.store(peakL | (peakR << 16), std::memory_order_relaxed);

    if (got < wantBytes) {
        std::memset(m_native.data() + gotSamples, 0, wantBytes - got);
        if (ch.readerDone.load(std::memory_order_acquire) && ch.ring.readable() == 0) {
            ch.drained.store(true, std::memory_order_release);
            m_anyDrained = true;
        }
    }

    const float target = ch.volume.load(std::memory_order_relaxed);
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

    const float step = (target - from) / static_cast<float>(m_period);
    // Should the converter ever come up short, the gap goes in front, where the
    // stream would have started anyway, rather than into the middle of it.
    const std::uint32_t offset = m_period - n;
    float* sum = m_sum.data() + std::size_t{offset} * 2;
    const float* in = m_converted.data();
    for (std::uint32_t i = 0; i < n; ++i) {
        const float gain = (from + step * static_cast<float>(offset + i + 1)) * 32768.0f;
        sum[2 * i] += in[2 * i] * gain;
        sum[2 * i + 1] += in[2 * i + 1] * gain;
    }
}

}  // namespace qvm::audio
