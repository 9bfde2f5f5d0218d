#include "channel/RestartPlan.h"

#include <cmath>

namespace qvm {

RestartPlan RestartPlan::Unpack(std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    RestartPlan plan;
    plan.flags = static_cast<std::uint8_t>(v & 15u);
    plan.hours = static_cast<std::uint8_t>((v >> 4) & 255u);
    plan.timeOfDay = static_cast<double>((v >> 12) & 2047u) / 1440.0;
    return plan;
}

std::int32_t RestartPlan::Pack() const {
    // Nearest minute, halves to the even neighbour (the default rounding mode).
    const auto minute =
        static_cast<std::uint32_t>(static_cast<std::int64_t>(std::nearbyint(timeOfDay * 24 * 60))) &
        2047u;
    return static_cast<std::int32_t>((minute << 12) + (std::uint32_t{hours} << 4) + (flags & 15u));
}

double PlanRestart_CalcNewRestart(RestartPlan& plan, double base, double now) {
    if (plan.flags == 0) {
        return 0;
    }
    if (plan.flags == RestartPlan::kOnlyWhenStudioPlays) {
        plan.flags = RestartPlan::kOnlyWhenStudioPlays | RestartPlan::kAfterHours;
        plan.hours = 24;
    }
    if ((plan.flags & RestartPlan::kAfterHours) != 0 && plan.hours == 0) {
        plan.hours = 1;
    }
    double longAt = 0;
    if ((plan.flags & RestartPlan::kAfterHours) != 0) {
        longAt = base + plan.hours / 24.0;
    }
    double daily = 0;
    if ((plan.flags & RestartPlan::kDaily) != 0) {
        daily = std::floor(base) + plan.timeOfDay;
        if (now > daily) {
            daily += 1;
        }
        while (daily < longAt) {  // at most 12 turns: hours <= 255
            daily += 1;
        }
    }
    return daily > longAt ? daily : longAt;
}

}  // namespace qvm
