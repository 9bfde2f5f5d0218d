#pragma once

#include <atomic>
#include <cstdint>

#include "audio/AudioEngine.h"
#include "channel/BlockQueue.h"

namespace qvm {

struct ChannelContext;

// The mixer calls the tap once per period (20 ms) with that period's share of
// the stream. At the longest Delay the settings dialog allows (2000 ms) a
// channel's queue holds 100 such blocks; the slots beyond that leave 1.2 s for a
// UI thread that stalls (a modal dialog, a slow disk on a log write) before the
// studio feed would lose a block.
inline constexpr int kTapPeriodMs = 20;
inline constexpr int kMaxSendDelayMs = 2000;
inline constexpr int kChannelQueueSlots = 160;
static_assert(kChannelQueueSlots <= TStreamABuffer::kMaxSlots);
static_assert(kChannelQueueSlots * kTapPeriodMs >= kMaxSendDelayMs + 1000);

// Multiplies interleaved 16-bit samples by `gain` in place, truncating toward
// zero and saturating at the 16-bit limits.
void AmplifySamples(std::int16_t* samples, std::size_t count, double gain);

// What the tap of one channel works with. Owned by the channel; the engine gets
// its address as the DSP callback's user data.
//
// Threads: the tap reads everything here on the mixer thread. index and queue
// never change while a tap is installed. ampGain may change at any time (the
// channel's settings are applied while it plays): one atomic value. freq and
// chans are set by the UI thread before the tap is installed on a stream; the
// installation publishes them, relaxed atomics keep them race-free regardless.
// busy is written by the tap and read by the UI thread before it frees the
// stream (release/acquire: nothing the tap touched is used after it reads false).
struct TapContext {
    ChannelContext* ctx = nullptr;
    TStreamABuffer* queue = nullptr;
    int index = -1;
    std::atomic<double> ampGain{1.0};
    std::atomic<std::uint32_t> freq{0};
    std::atomic<std::uint32_t> chans{0};
    std::atomic<bool> busy{false};
};

// The DSP callback: amplifies in place, queues a copy due at now + SendDelay,
// and runs the DSP chain over the block of the channel on air. Runs on the
// mixer thread; never blocks (a full queue drops the newest block).
void SampleTap(audio::DspHandle dsp, audio::StreamHandle stream, void* buffer, std::uint32_t length,
               void* user);

}  // namespace qvm
