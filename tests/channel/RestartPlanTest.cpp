#include "channel/RestartPlan.h"

#include <gtest/gtest.h>

namespace qvm {
namespace {

constexpr double kHour = 1.0 / 24;
constexpr double kMinute = 1.0 / 1440;
constexpr double kDay0 = 20000;  // some midnight

TEST(RestartPlan, PackAndUnpack) {
    struct Case {
        std::uint8_t flags, hours;
        double timeOfDay;
        std::int32_t packed;
    };
    const Case cases[] = {
        {2, 24, 0, 386},             // after 24 hours
        {4, 0, 3 * kHour, 737284},   // daily at 03:00
        {7, 24, 3 * kHour, 737671},  // both, only when the studio plays
        {4, 0, 150 * kMinute, (150 << 12) + 4},
    };
    for (const Case& c : cases) {
        RestartPlan p{c.flags, c.hours, c.timeOfDay};
        EXPECT_EQ(p.Pack(), c.packed);
        const RestartPlan u = RestartPlan::Unpack(c.packed);
        EXPECT_EQ(u.flags, c.flags);
        EXPECT_EQ(u.hours, c.hours);
        EXPECT_NEAR(u.timeOfDay, c.timeOfDay, 1e-12);
    }
    // Half minutes round to the even neighbour.
    EXPECT_EQ((RestartPlan{4, 0, 150.5 * kMinute}.Pack() >> 12), 150);
    EXPECT_EQ((RestartPlan{4, 0, 151.5 * kMinute}.Pack() >> 12), 152);
}

TEST(RestartPlan, NextRestart) {
    struct Case {
        const char* what;
        std::int32_t packed;
        double base, now;
        double expected;
    };
    const std::int32_t daily3 = RestartPlan{4, 0, 3 * kHour}.Pack();
    const Case cases[] = {
        {"no plan", 0, kDay0 + 2 * kHour, kDay0 + 2 * kHour, 0},
        {"daily, play from 02:59", daily3, kDay0 + 2 * kHour + 59 * kMinute,
         kDay0 + 2 * kHour + 59 * kMinute, kDay0 + 3 * kHour},
        {"daily, play from 03:01", daily3, kDay0 + 3 * kHour + kMinute, kDay0 + 3 * kHour + kMinute,
         kDay0 + 1 + 3 * kHour},
        {"after 24 hours", 386, kDay0 + 0.5, kDay0 + 0.5, kDay0 + 1.5},
        {"daily plus 24 hours from 02:00", RestartPlan{6, 24, 3 * kHour}.Pack(), kDay0 + 2 * kHour,
         kDay0 + 2 * kHour, kDay0 + 1 + 3 * kHour},
        // Applied to a channel playing since 02:00 two days ago: one day on, still past.
        {"daily, recomputed two days later", daily3, kDay0 + 2 * kHour, kDay0 + 2 + 10 * kHour,
         kDay0 + 1 + 3 * kHour},
        {"only when the studio plays means 24 hours", 1, kDay0, kDay0, kDay0 + 1},
        {"0 hours is taken as 1", 2, kDay0, kDay0, kDay0 + kHour},
    };
    for (const Case& c : cases) {
        RestartPlan plan = RestartPlan::Unpack(c.packed);
        EXPECT_NEAR(PlanRestart_CalcNewRestart(plan, c.base, c.now), c.expected, 1e-9) << c.what;
    }
    RestartPlan onlyStudio = RestartPlan::Unpack(1);
    PlanRestart_CalcNewRestart(onlyStudio, kDay0, kDay0);
    EXPECT_EQ(onlyStudio.flags, 3);
    EXPECT_EQ(onlyStudio.hours, 24);
}

}  // namespace
}  // namespace qvm
