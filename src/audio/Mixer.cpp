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

// Sound that starts or stops mid-waveform clicks: a stream's first audio
// after silence rises, and its last before a gap falls, over this long.
constexpr std::uint32_t kEdgeMs = 5;

// Scales `frames` interleaved frames by a linear ramp, up from near 0 or down
// to near 0, so that the edge itself moves no further than the ramp's step.
void RampEdge(std::int16_t* samples, std::size_t frames, std::uint32_t chans, bool up) {
    const float step = 1.0f / static_cast<float>(frames + 1);
    for (std::size_t i = 0; i < frames; ++i) {
        const float gain = step * static_cast<float>(up ? i + 1 : frames - i);
        for (std::uint32_t c = 0; c < chans; ++c) {
            std::int16_t& v = samples[i * chans + c];
            v = static_cast<std::int16_t>(std::lrint(static_cast<float>(v) * gain));
        }
    }
}

// Stream formats the engine takes (NetInput refuses others).
constexpr std::uint32_t kMaxStreamRate = 192000;
constexpr std::uint32_t kMaxStreamChannels = 8;

}  // namespace

std::size_t MixChannel::CapacityFor(std::size_t nominalBytes, std::size_t bytesPerSecond,
                                    bool segmented) {
    std::size_t headroom = std::clamp(nominalBytes / 2, bytesPerSecond, 5 * bytesPerSecond);
    if (segmented) {
        headroom = std::max(headroom, 15 * bytesPerSecond);
    }
    return nominalBytes + headroom;
}

MixChannel::MixChannel(StreamHandle streamHandle, std::uint32_t sampleRate, std::uint32_t channels,
                       std::size_t nominal, Shape shape)
    : handle(streamHandle),
      rate(sampleRate),
      chans(channels),
      nominalBytes(nominal),
      resumeBytes(nominal / 2),
      live(shape.live),
      ring(CapacityFor(nominal, std::size_t{sampleRate} * channels * 2, shape.segmented),
           std::size_t{channels} * 2),
      wakeBytes(std::min<std::size_t>(ring.capacity() / 4,
                                      std::size_t{sampleRate} * channels * 2 * kWakeMs / 1000)),
      caughtUp(!shape.burst) {}

std::uint32_t Mixer::MaxFrames(std::uint32_t periodFrames, std::uint32_t deviceRate,
                               std::uint32_t rate) {
    // A period at the fastest drift correction, the converter's cushion and
    // its rounding.
    const double frames = (periodFrames + 2.0 * DeviceConverter::kCushionFrames) * rate /
                          deviceRate * (1.0 + DriftControl::kMaxDeviation);
    return static_cast<std::uint32_t>(frames) + 8;
}

Mixer::Mixer(std::uint32_t deviceRate, std::uint32_t periodFrames)
    : m_rate(deviceRate),
      m_period(periodFrames),
      m_native(std::size_t{MaxFrames(periodFrames, deviceRate, kMaxStreamRate)} *
               kMaxStreamChannels),
      m_converted(std::size_t{periodFrames} * 2),
      m_sum(std::size_t{periodFrames} * 2) {}

Mixer::~Mixer() = default;

std::unique_ptr<Mixer::Slot> Mixer::prepare(MixChannel* channel, std::uint32_t deviceRate,
                                            std::uint32_t periodFrames) {
    if (channel->rate == 0 || channel->rate > kMaxStreamRate || channel->chans == 0 ||
        channel->chans > kMaxStreamChannels) {
        return nullptr;
    }
    auto slot = std::make_unique<Slot>();
    slot->channel = channel;
    slot->converter =
        std::make_unique<DeviceConverter>(channel->rate, channel->chans, deviceRate,
                                          MaxFrames(periodFrames, deviceRate, channel->rate));
    if (!slot->converter->valid()) {
        return nullptr;
    }
    const double frameBytes = channel->frameBytes();
    // The fill held is the buffer length; never more than half way up the
    // headroom, so that there is always room to show a sender running fast.
    slot->drift = DriftControl(
        static_cast<double>(channel->nominalBytes) / frameBytes,
        static_cast<double>(channel->nominalBytes + channel->ring.capacity()) / 2 / frameBytes,
        channel->rate, static_cast<double>(periodFrames) / deviceRate);
    slot->applied = channel->volume.load(std::memory_order_relaxed);
    return slot;
}

std::unique_ptr<Mixer::Slot> Mixer::insert(std::unique_ptr<Slot> slot) {
    if (!slot || contains(slot->channel)) {
        return slot;
    }
    m_slots.push_back(std::move(slot));
    return nullptr;
}

std::unique_ptr<Mixer::Slot> Mixer::remove(MixChannel* channel) {
    const auto at = std::find_if(m_slots.begin(), m_slots.end(),
                                 [channel](const auto& s) { return s->channel == channel; });
    if (at == m_slots.end()) {
        return nullptr;
    }
    std::unique_ptr<Slot> slot = std::move(*at);
    m_slots.erase(at);
    return slot;
}

bool Mixer::add(MixChannel* channel) {
    if (contains(channel)) {
        return true;
    }
    std::unique_ptr<Slot> slot = prepare(channel, m_rate, m_period);
    if (!slot) {
        return false;
    }
    insert(std::move(slot));
    return true;
}

bool Mixer::contains(const MixChannel* channel) const {
    return std::any_of(m_slots.begin(), m_slots.end(),
                       [channel](const auto& s) { return s->channel == channel; });
}

void Mixer::mix(std::int16_t* out, std::uint32_t periods) {
    m_anyDrained = false;
    periods = std::max<std::uint32_t>(periods, 1);
    for (const auto& slot : m_slots) {
        slot->rampFrom = slot->applied;
        slot->rampTo = slot->channel->volume.load(std::memory_order_relaxed);
        slot->peakL = slot->peakR = 0;
    }
    for (std::uint32_t part = 0; part < periods; ++part) {
        std::fill(m_sum.begin(), m_sum.end(), 0.0f);
        for (const auto& slot : m_slots) {
            mixSlot(*slot, part, periods);
        }
        ClipToInt16(m_sum.data(), out + std::size_t{part} * m_sum.size(), m_sum.size());
    }
}

void Mixer::mixSlot(Slot& slot, std::uint32_t part, std::uint32_t parts) {
    MixChannel& ch = *slot.channel;
    const std::uint32_t chans = ch.chans;
    const std::size_t frameBytes = ch.frameBytes();

    const float target = part + 1 == parts ? slot.rampTo
                                           : slot.rampFrom + (slot.rampTo - slot.rampFrom) *
                                                                 static_cast<float>(part + 1) /
                                                                 static_cast<float>(parts);
    const float from = slot.applied;
    slot.applied = target;
    // Unheard: the stream is still consumed, tapped and metered, but converting
    // it would be wasted work.
    const bool heard = from != 0.0f || target != 0.0f;
    const bool done = ch.readerDone.load(std::memory_order_acquire);
    if (!ch.caughtUp.load(std::memory_order_acquire)) {
        ch.level.store(0, std::memory_order_relaxed);
        slot.silent = true;
        return;  // the reader still trims the ring: not ours yet
    }

    if (slot.stalled) {
        if (!done && ch.ring.readable() < ch.resumeBytes) {
            ch.level.store(0, std::memory_order_relaxed);
            return;  // silent until enough has gathered again
        }
        slot.stalled = false;
        ch.stalled.store(false, std::memory_order_relaxed);
        slot.drift.restart();
    }

    // This period's share of native frames at the drift control's rate. A
    // heard stream takes what its converter needs for one period, so that the
    // converter's own ratio sets the pace; an unheard one carries the
    // fraction over.
    const double ratio = slot.drift.ratio();
    std::uint32_t want = 0;
    if (heard) {
        slot.converter->setRatio(ratio);
        want = slot.converter->inputFor(m_period);
    } else {
        slot.phase += static_cast<double>(m_period) * ch.rate / m_rate * ratio;
        want = static_cast<std::uint32_t>(slot.phase);
        slot.phase -= want;
    }
    want = std::min(want, MaxFrames(m_period, m_rate, ch.rate));

    const std::size_t wantBytes = std::size_t{want} * frameBytes;
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

    // Smoothing the edges comes after the callbacks and the meter: they see
    // the stream as it came.
    const std::size_t gotFrames = gotSamples / chans;
    const std::size_t edge = std::size_t{ch.rate} * kEdgeMs / 1000;
    if (got > 0 && slot.silent) {
        RampEdge(m_native.data(), std::min(gotFrames, edge), chans, true);
        slot.silent = false;
    }
    if (got < wantBytes) {
        if (got > 0) {
            const std::size_t n = std::min(gotFrames, edge);
            RampEdge(m_native.data() + (gotFrames - n) * chans, n, chans, false);
        }
        slot.silent = true;
        std::memset(m_native.data() + gotSamples, 0, wantBytes - got);
        if (done) {
            if (ch.ring.readable() == 0) {
                ch.drained.store(true, std::memory_order_release);
                m_anyDrained = true;
            }
        } else {
            // Ran dry: what there was plays, then one clean gap.
            slot.stalled = true;
            ch.stalled.store(true, std::memory_order_relaxed);
            ch.stalls.fetch_add(1, std::memory_order_relaxed);
            m_stalls.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (!slot.stalled && !done && ch.live) {
        ch.ratio.store(static_cast<float>(
                           slot.drift.update(static_cast<double>(ch.ring.readable() / frameBytes))),
                       std::memory_order_relaxed);
    }

    if (!heard) {
        return;
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
