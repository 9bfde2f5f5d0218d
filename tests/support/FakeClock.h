#pragma once

#include <atomic>
#include <cstdint>

namespace qvm::test {

// A settable 32-bit millisecond tick and wall clock (days) for deterministic
// time in tests. Process-wide, because the clocks are plain function pointers.
struct FakeClock {
    static std::atomic<std::uint32_t> tick;
    static std::atomic<double> wallDays;

    static std::uint32_t Tick32() { return tick.load(); }
    static double WallDays() { return wallDays.load(); }

    static void advanceMs(std::uint32_t ms) {
        tick += ms;
        wallDays = wallDays.load() + ms / 86400000.0;
    }
};

}  // namespace qvm::test
