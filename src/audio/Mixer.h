#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/DeviceConverter.h"
#include "audio/DriftControl.h"
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
// The ring holds the configured buffer length (`nominalBytes`, what the fill
// percentage is measured against) and headroom above it, so that a sender
// whose clock runs fast, or a burst after a network hiccup, shows as a fill
// above the target instead of queueing unseen in the socket.
//
// Who touches what:
//  - ring: written by the reader thread. Until `caughtUp`, the reader is also
//    its only consumer: it keeps the newest buffer length of a live stream's
//    connect burst and drops the rest. From then on it is read, skipped and
//    counted only under the engine's mix lock (the mixer thread, or the UI
//    thread for a position skip), so the ring keeps exactly one consumer at a
//    time. The reader sets `caughtUp` with release after its last trim and
//    the consumers load it with acquire before they touch the ring.
//  - dsps: changed and called only under the mix lock.
//  - volume, level, stalled, stalls, ratio, error: atomics, relaxed; each is
//    one self-contained value.
//  - readerDone: release by the reader after its last write, acquire by the
//    mixer, so "done and empty" means no more audio will come.
//  - spaceSignal: bumped by the consumer once enough room is free (tookBlock)
//    or on a stop or skip; the reader waits on it (C++20 atomic wait) instead
//    of polling while the ring is full.
// What kind of source feeds a stream's ring.
struct StreamShape {
    // A live stream, whose sender's clock the drift control follows; a file
    // is simply taken as fast as the device plays it.
    bool live = true;
    // Arrives in segments of seconds (HLS): the ring must hold one on top of
    // the buffer.
    bool segmented = false;
    // Starts with a connect burst that its reader takes before the mixer may
    // (see MixChannel::caughtUp).
    bool burst = false;
};

class MixChannel {
  public:
    using Shape = StreamShape;

    // The ring for `nominalBytes` of buffer: half as much again above it, at
    // least a second and at most five; for segmented sources at least 15 s.
    static std::size_t CapacityFor(std::size_t nominalBytes, std::size_t bytesPerSecond,
                                   bool segmented = false);

    // `nominal`: the buffer length in bytes.
    MixChannel(StreamHandle streamHandle, std::uint32_t sampleRate, std::uint32_t channels,
               std::size_t nominal, Shape shape = {});

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
    const std::size_t nominalBytes;  // the configured buffer length
    const std::size_t resumeBytes;   // the fill that ends a stall
    const bool live;
    PcmRing ring;
    const std::size_t wakeBytes;  // free room that wakes the reader
    std::vector<DspEntry> dsps;   // highest priority first; mix lock
    std::atomic<float> volume{1.0f};
    std::atomic<std::uint32_t> level{0};
    std::atomic<bool> readerDone{false};
    std::atomic<bool> drained{false};  // set by the mixer: done and played out
    std::atomic<std::uint32_t> spaceSignal{0};

    // Reader: what the server sent at once on connect has been taken (or the
    // stream is no live one): the ring holds the newest audio, and the mixer
    // may take it. Until then a playing stream is silent.
    std::atomic<bool> caughtUp;
    std::atomic<bool> stalled{false};      // mixer: ran dry, silent until refilled
    std::atomic<std::uint32_t> stalls{0};  // mixer: times it ran dry while playing
    std::atomic<float> ratio{1.0f};        // mixer: the drift control's rate
    std::atomic<std::int32_t> error{0};    // reader: why it gave up, when an error
    // Reader: connections lost and restored before the ring ran dry, and of
    // those the ones whose new audio could not be lined up with the old.
    std::atomic<std::uint32_t> rejoins{0};
    std::atomic<std::uint32_t> rejoinGaps{0};
    std::atomic<std::uint32_t> rejoinMs{0};
    std::atomic<std::uint32_t> spliceSearchUs{0};
};

// Mixes the playing channels into device periods: takes each channel's share
// of native frames per period (at the rate its drift control asks for), runs
// its DSP callbacks in place, keeps the peaks, converts to the device rate in
// stereo, ramps the volume linearly per sample, sums and clips to 16-bit
// stereo. A device that asks for several periods in a row gets the volume ramp
// spread over all of them, so a fade stays smooth however coarsely the device
// wakes, and the level reading holds the loudest peak among them.
//
// A channel whose ring runs dry plays what it had and stalls: it stays silent,
// takes nothing and calls no callback until its ring holds `resumeBytes`
// again; one gap instead of a sieve of short ones. A channel whose reader is
// still taking the server's connect burst is silent the same way until the
// reader has caught up. Whatever volume it is at, a channel's audio fades in
// over a few milliseconds after silence, and out before a gap its ring ran
// dry in, so neither edge clicks.
//
// insert/remove/mix run under the engine's mix lock; mix on the mixer thread.
// Slots are built by prepare() outside the lock, because building the rate
// converter allocates.
class Mixer {
  public:
    // One channel's mixing state. Mixer thread only, once inserted.
    struct Slot {
        MixChannel* channel = nullptr;
        std::unique_ptr<DeviceConverter> converter;
        DriftControl drift{0, 0, 1, 1};
        double phase = 0.0;       // fractional native frames carried between unheard periods
        float applied = 0.0f;     // volume reached at the end of the last period
        float rampFrom = 0.0f;    // volume at the start of the current mix call
        float rampTo = 0.0f;      // volume asked for at the start of the current mix call
        std::uint32_t peakL = 0;  // loudest sample of the current mix call
        std::uint32_t peakR = 0;
        bool stalled = false;
        bool silent = true;  // the last period ended without the stream's audio
    };

    Mixer(std::uint32_t deviceRate, std::uint32_t periodFrames);
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    std::uint32_t deviceRate() const { return m_rate; }
    std::uint32_t periodFrames() const { return m_period; }

    // A slot for the channel on a device of that rate and period; null when
    // the channel's format cannot be converted to the device. Any thread.
    static std::unique_ptr<Slot> prepare(MixChannel* channel, std::uint32_t deviceRate,
                                         std::uint32_t periodFrames);
    // Takes the slot in (a channel already mixed keeps its slot; the new one
    // is handed back to be freed outside the lock).
    std::unique_ptr<Slot> insert(std::unique_ptr<Slot> slot);
    // Takes the channel out; its slot is handed back to be freed outside the lock.
    std::unique_ptr<Slot> remove(MixChannel* channel);
    bool contains(const MixChannel* channel) const;
    // prepare() and insert() in one, for a mixer no other thread runs.
    bool add(MixChannel* channel);
    std::size_t size() const { return m_slots.size(); }

    // Writes `periods` consecutive periods of interleaved 16-bit stereo into
    // `out`, each taken, called back and metered as a block of its own.
    void mix(std::int16_t* out, std::uint32_t periods = 1);
    // Whether the last mix found a channel whose stream ended and played out.
    bool anyDrained() const { return m_anyDrained; }
    // Times a channel ran dry, over all channels since the mixer began.
    std::uint64_t stalls() const { return m_stalls.load(std::memory_order_relaxed); }

    // Native frames a period may take at most from a stream of `rate`.
    static std::uint32_t MaxFrames(std::uint32_t periodFrames, std::uint32_t deviceRate,
                                   std::uint32_t rate);

  private:
    // Mixes the slot's block of period `part` of `parts` into m_sum.
    void mixSlot(Slot& slot, std::uint32_t part, std::uint32_t parts);

    const std::uint32_t m_rate;
    const std::uint32_t m_period;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<std::int16_t> m_native;  // one channel's native block
    std::vector<float> m_converted;      // one channel's block at the device rate
    std::vector<float> m_sum;
    bool m_anyDrained = false;
    std::atomic<std::uint64_t> m_stalls{0};
};

}  // namespace qvm::audio
