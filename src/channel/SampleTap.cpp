#include "channel/SampleTap.h"

#include <cmath>

#include "channel/ChannelContext.h"
#include "core/TimeBase.h"

namespace qvm {

void AmplifySamples(std::int16_t* samples, std::size_t count, double gain) {
    for (std::size_t i = 0; i < count; ++i) {
        const double v = std::trunc(samples[i] * gain);
        samples[i] =
            static_cast<std::int16_t>(v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v));
    }
}

void SampleTap(audio::DspHandle, audio::StreamHandle, void* buffer, std::uint32_t length,
               void* user) {
    auto* tap = static_cast<TapContext*>(user);
    if (tap == nullptr || buffer == nullptr) {
        return;
    }
    tap->busy.store(true, std::memory_order_relaxed);
    auto* samples = static_cast<std::int16_t*>(buffer);
    const std::size_t count = length / 2;

    const double gain = tap->ampGain.load(std::memory_order_relaxed);
    if (gain != 1.0) {
        AmplifySamples(samples, count, gain);
    }

    const std::uint32_t freq = tap->freq.load(std::memory_order_relaxed);
    const std::uint32_t chans = tap->chans.load(std::memory_order_relaxed);
    ChannelContext* ctx = tap->ctx;
    const std::int64_t delay = ctx != nullptr ? ctx->sendDelay.load(std::memory_order_relaxed) : 0;
    const auto due = static_cast<std::int64_t>(TickCount64()) + delay;
    // Push copies into slot-owned storage: no allocation once the slots have
    // grown to the period size. A full queue drops this block.
    try {
        tap->queue->Push(due, samples, static_cast<std::int32_t>(count * 2),
                         static_cast<std::int32_t>(freq),
                         static_cast<std::uint8_t>(chans > 255 ? 255 : chans));
    } catch (...) {
        // Only the first growth of a slot allocates; without memory the block is lost.
    }

    if (ctx != nullptr && ctx->dspChain &&
        tap->index == ctx->onAirIndex.load(std::memory_order_relaxed)) {
        // Plug-ins may change the samples but not the block's length.
        try {
            ctx->dspChain(samples, static_cast<std::uint32_t>(count * 2), freq, chans);
        } catch (...) {
            // A failing plug-in must not take the mixer down; the block plays as it is.
        }
    }
    tap->busy.store(false, std::memory_order_release);
}

}  // namespace qvm
