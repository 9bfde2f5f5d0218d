#pragma once

#include <atomic>
#include <cstdint>

namespace qvm {

// A 32-bit millisecond tick that wraps about every 49.7 days.
using TickSource = std::uint32_t (*)();

// The system's 32-bit millisecond tick, from CLOCK_MONOTONIC.
std::uint32_t SystemTick32();

// Extends a wrapping 32-bit tick into a 64-bit millisecond count that never
// wraps. Lock-free and safe to call from any thread: the UI thread, the mixer
// and the connect threads all stamp times with it.
//
// The whole state is one 64-bit word holding the extended value of the newest
// tick seen. A caller extends its own reading by the signed 32-bit distance to
// that value, so a reading taken just before a wrap by a thread that lost the
// race to one taken just after it is still placed before the wrap, and a wrap
// is counted exactly once. Readings more than 2^31 ms (24.8 days) apart would
// be ambiguous; the main loop reads the tick every 10 ms.
class TickClock {
  public:
    explicit TickClock(TickSource source) : m_source(source) {}

    std::uint64_t now();

    // Starts over as if never called, optionally with another source (tests).
    void reset(TickSource source);

  private:
    static constexpr std::uint64_t kUnset = ~std::uint64_t{0};

    std::atomic<TickSource> m_source;
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
    ~ScopedTickSource() { GlobalTickClock().reset(&SystemTick32); }
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
