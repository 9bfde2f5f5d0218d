#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/DeviceConverter.h"
#include "audio/PcmRing.h"

namespace qvm::audio {

struct DspEntry {
    DspHandle handle = 0;
    DspProc proc = nullptr;
    void* user = nullptr;
    int priority = 0;
};

// One stream as the mixer sees it: its PCM ring (the reader thread produces,
// the mixer consumes) and the values the UI thread sets and reads.
//
// Who touches what:
//  - ring: written by the reader thread; read, skipped and counted only under
//    the engine's mix lock (the mixer thread, or the UI thread for a position
//    skip), so the ring keeps exactly one consumer at a time.
//  - dsps: changed and called only under the mix lock.
//  - volume, level: atomics, relaxed; each is one self-contained value.
//  - readerDone: release by the reader after its last write, acquire by the
//    mixer, so "done and empty" means no more audio will come.
//  - spaceSignal: bumped by the consumer once enough room is free (tookBlock)
//    or on a stop or skip; the reader waits on it (C++20 atomic wait) instead
//    of polling while the ring is full.
class MixChannel {
  public:
    MixChannel(StreamHandle streamHandle, std::uint32_t sampleRate, std::uint32_t channels,
               std::size_t ringBytes)
        : handle(streamHandle),
          rate(sampleRate),
          chans(channels),
          ring(ringBytes, std::size_t{channels} * 2),
          wakeBytes(std::min<std::size_t>(
              ring.capacity() / 4, std::size_t{sampleRate} * channels * 2 * kWakeMs / 1000)) {}

    std::uint32_t frameBytes() const { return chans * 2; }

    // Consumer side, after taking a block: wakes a reader waiting for room
    // only once a good share of the ring is free, so that a reader behind a
    // full ring wakes a few times a second to decode a batch instead of on
    // every mixer period for one frame (each wake-up costs more than the
    // decoding it allows).
    void tookBlock() {
        if (ring.writable() >= wakeBytes) {
            signalSpace();
        }
    }

    // Consumer side, under the mix lock: wakes a reader waiting for room.
    void signalSpace() {
        spaceSignal.fetch_add(1, std::memory_order_release);
        spaceSignal.notify_one();
    }

    static constexpr std::size_t kWakeMs = 250;

    const StreamHandle handle;
    const std::uint32_t rate;
    const std::uint32_t chans;
    PcmRing ring;
    const std::size_t wakeBytes;  // free room that wakes the reader
    std::vector<DspEntry> dsps;   // highest priority first; mix lock
    std::atomic<float> volume{1.0f};
    std::atomic<std::uint32_t> level{0};
    std::atomic<bool> readerDone{false};
    std::atomic<bool> drained{false};  // set by the mixer: done and played out
    std::atomic<std::uint32_t> spaceSignal{0};
};

// Mixes the playing channels into device periods: takes each channel's share
// of native frames per period, runs its DSP callbacks in place, keeps the
// peaks, converts to the device rate in stereo, ramps the volume linearly per
// sample, sums and clips to 16-bit stereo. A device that asks for several
// periods in a row gets the volume ramp spread over all of them, so a fade
// stays smooth however coarsely the device wakes, and the level reading holds
// the loudest peak among them.
// add/remove/mix run under the engine's mix lock; mix on the mixer thread.
class Mixer {
  public:
    Mixer(std::uint32_t deviceRate, std::uint32_t periodFrames);
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    std::uint32_t deviceRate() const { return m_rate; }
    std::uint32_t periodFrames() const { return m_period; }

    // false when the channel's format cannot be converted to the device.
    bool add(MixChannel* channel);
    void remove(MixChannel* channel);
    bool contains(const MixChannel* channel) const;
    std::size_t size() const { return m_slots.size(); }

    // Writes `periods` consecutive periods of interleaved 16-bit stereo into
    // `out`, each taken, called back and metered as a block of its own.
    void mix(std::int16_t* out, std::uint32_t periods = 1);
    // Whether the last mix found a channel whose stream ended and played out.
    bool anyDrained() const { return m_anyDrained; }

  private:
    struct Slot {
        MixChannel* channel = nullptr;
        std::unique_ptr<DeviceConverter> converter;
        std::uint64_t phase = 0;  // fractional native frames carried between periods
        float applied = 0.0f;     // volume reached at the end of the last period
        float rampFrom = 0.0f;    // volume at the start of the current mix call
        float rampTo = 0.0f;      // volume asked for at the start of the current mix call
        std::uint32_t peakL = 0;  // loudest sample of the current mix call
        std::uint32_t peakR = 0;
        bool stale = false;  // converter skipped while silent; reset before use
    };

    // Mixes the slot's block of period `part` of `parts` into m_sum.
    void mixSlot(Slot& slot, std::uint32_t part, std::uint32_t parts);

    const std::uint32_t m_rate;
    const std::uint32_t m_period;
    std::vector<Slot> m_slots;
    std::vector<std::int16_t> m_native;  // one channel's native block
    std::vector<float> m_converted;      // one channel's block at the device rate
    std::vector<float> m_sum;
    bool m_anyDrained = false;
};

}  // namespace qvm::audio
