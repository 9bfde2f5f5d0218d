#pragma once

#include <atomic>
#include <cstdint>

namespace qvm {

// A 32-bit millisecond tick that wraps about every 49.7 days.
using TickSource = std::uint32_t (*)();
// A 64-bit millisecond tick that never wraps.
using TickSource64 = std::uint64_t (*)();

// The system's millisecond tick from CLOCK_MONOTONIC: all of it, and its low
// 32 bits.
std::uint64_t SystemTick64();
std::uint32_t SystemTick32();

// A 64-bit millisecond count that never wraps, from a 64-bit source as it is,
// or extended from a wrapping 32-bit one. Lock-free and safe to call from any
// thread: the UI thread, the mixer and the connect threads all stamp times with
// it. The program runs on the 64-bit system tick, which stays right however
// long nobody reads it (a player that waits a month for its sound device);
// the 32-bit extension is for sources that only have 32 bits.
//
// Extending a 32-bit source:
// The whole state is one 64-bit word holding the extended value of the newest
// tick seen. A caller extends its own reading by the signed 32-bit distance to
// that value, so a reading taken just before a wrap by a thread that lost the
// race to one taken just after it is still placed before the wrap, and a wrap
// is counted exactly once. Readings more than 2^31 ms (24.8 days) apart would
// be ambiguous; the main loop reads the tick every 10 ms.
class TickClock {
  public:
    explicit TickClock(TickSource source) : m_source(source) {}
    explicit TickClock(TickSource64 source) : m_source64(source) {}

    std::uint64_t now();

    // Starts over as if never called, with another source (tests).
    void reset(TickSource source);
    void reset(TickSource64 source);

  private:
    static constexpr std::uint64_t kUnset = ~std::uint64_t{0};

    // Exactly one of the two is set.
    std::atomic<TickSource> m_source{nullptr};
    std::atomic<TickSource64> m_source64{nullptr};
    // Written by whichever thread sees a newer tick (compare-exchange), read
    // by all. Relaxed order suffices: the word is self-contained and no other
    // memory is published through it.
    std::atomic<std::uint64_t> m_last{kUnset};
};

// The program-wide clock behind TickCount64.
TickClock& GlobalTickClock();

// Milliseconds since the system started, never wrapping.
inline std::uint64_t TickCount64() {
    return GlobalTickClock().now();
}

// Replaces the global tick source for the lifetime of the object (tests).
class ScopedTickSource {
  public:
    explicit ScopedTickSource(TickSource source) { GlobalTickClock().reset(source); }
    explicit ScopedTickSource(TickSource64 source) { GlobalTickClock().reset(source); }
    ~ScopedTickSource() { GlobalTickClock().reset(&SystemTick64); }
    ScopedTickSource(const ScopedTickSource&) = delete;
    ScopedTickSource& operator=(const ScopedTickSource&) = delete;
};

// Local wall-clock time as a count of days (fraction = time of day). Fades and
// restart plans are timed with it.
using WallClock = double (*)();
double SystemWallClockDays();

// Lets queued events of the UI thread run, at most once every 100 ms unless
// forced; returns whether it pumped. UI thread only; re-enters the event loop.
bool PumpMessages(bool force);

// Sleeps the calling thread, then runs every pending event of the UI thread.
void SleepAndPump(int milliseconds);

}  // namespace qvm
