#pragma once

#include <cstdint>

namespace qvm {

// A planned restart packed into 32 bits: flags in bits 0-3, hours of play in
// bits 4-11, minute of the day in bits 12-22.
struct RestartPlan {
    static constexpr std::uint8_t kOnlyWhenStudioPlays = 1;
    static constexpr std::uint8_t kAfterHours = 2;
    static constexpr std::uint8_t kDaily = 4;

    std::uint8_t flags = 0;
    std::uint8_t hours = 0;
    double timeOfDay = 0;  // fraction of a day (03:00 = 0.125)

    static RestartPlan Unpack(std::int32_t value);
    std::int32_t Pack() const;
};

// When a channel that began playing at `base` (wall-clock days) restarts next,
// as wall-clock days; 0 for never. A plan of flags exactly 1 becomes flags 3
// with 24 hours, in `plan` itself; a plan that restarts after 0 hours is taken
// as 1 hour, so that it cannot restart a stream in a loop.
double PlanRestart_CalcNewRestart(RestartPlan& plan, double base, double now);

}  // namespace qvm
