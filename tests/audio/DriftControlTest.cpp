// The drift control against a model of a live stream: a sender whose clock
// is off by a given amount, a network that now and then holds data back and
// then delivers it at once, and a reader that takes what gathered in the
// socket every so often (as the real one paces its reads). Time is simulated,
// so an hour runs in milliseconds and the same seed gives the same run.
#include "audio/DriftControl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace qvm::audio {
namespace {

constexpr double kRate = 44100.0;  // frames per second
constexpr double kPeriod = 0.02;   // seconds per mixer period

struct Conditions {
    double drift = 0.0;      // sender clock against the device's (+0.01 = 1 % fast)
    double buffer = 1.0;     // seconds: the target fill
    double startFill = 1.0;  // seconds in the ring when it starts to play
    bool jitter = false;     // network pauses of 0.2 to 0.8 s, about twice a minute
    double seconds = 3600.0;
};

struct Outcome {
    double minFill = 1e9;  // seconds, after the start
    double maxFill = 0.0;
    double minRatio = 2.0;  // after the first settling
    double maxRatio = 0.0;
    double finalRatio = 1.0;
    double finalFill = 0.0;
    int reversals = 0;  // turns of the correction by more than 0.05 %
    int pauses = 0;     // of the network
    int holes = 0;      // times the ring ran dry
};

Outcome Simulate(const Conditions& c, std::uint32_t seed = 1) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const double capacity = c.buffer + std::clamp(c.buffer / 2, 1.0, 5.0);
    const double nap = std::min(0.5, capacity / 8);
    DriftControl control(c.buffer * kRate, (c.buffer + capacity) / 2 * kRate, kRate, kPeriod);
    double fill = c.startFill;  // seconds
    double server = 0.0;        // produced, not yet delivered
    double socket = 0.0;        // delivered, not yet read
    double pause = 0.0;
    double napLeft = 0.0;
    double ratio = 1.0;
    bool stalled = false;
    double lastTurn = 1.0;
    int direction = 0;
    Outcome out;
    for (double t = 0; t < c.seconds; t += kPeriod) {
        server += (1.0 + c.drift) * kPeriod;
        if (c.jitter && pause <= 0 && uniform(random) < kPeriod / 30.0) {
            pause = 0.2 + 0.6 * uniform(random);
            ++out.pauses;
        }
        if (pause > 0) {
            pause -= kPeriod;
        } else {
            socket += server;
            server = 0.0;
        }
        napLeft -= kPeriod;
        if (napLeft <= 0 || fill < capacity / 4) {
            const double take = std::min(socket, capacity - fill);
            fill += take;
            socket -= take;
            napLeft = nap;
        }
        if (fill < ratio * kPeriod) {
            // Ran dry: the mixer stalls it until half the buffer has gathered.
            ++out.holes;
            fill = 0.0;
            stalled = true;
        } else if (stalled && fill >= c.buffer / 2) {
            stalled = false;
            control.restart();
        }
        if (stalled) {
            continue;
        }
        fill -= ratio * kPeriod;
        ratio = control.update(fill * kRate);
        out.minFill = std::min(out.minFill, fill);
        out.maxFill = std::max(out.maxFill, fill);
        if (!control.settling()) {
            out.minRatio = std::min(out.minRatio, ratio);
            out.maxRatio = std::max(out.maxRatio, ratio);
            const int now = ratio > lastTurn + 0.0005 ? 1 : ratio < lastTurn - 0.0005 ? -1 : 0;
            if (now != 0) {
                if (direction != 0 && now != direction) {
                    ++out.reversals;
                }
                direction = now;
                lastTurn = ratio;
            }
        }
    }
    out.finalRatio = ratio;
    out.finalFill = fill;
    return out;
}

// Senders up to 1 % off in either direction, with and without network
// jitter: the ring never runs dry nor fills up, the stream ends up taken at
// the sender's rate, and the pitch never departs from the sender's by more
// than the drift itself plus a small margin.
TEST(DriftControl, FollowsSenderClocksWithoutHolesOrOvershoot) {
    constexpr double kMargin = 0.004;
    for (const double drift : {0.01, -0.01, 0.003, -0.0003, 0.00003, 0.0}) {
        for (const bool jitter : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "drift " << drift * 100 << " %" << (jitter ? ", jitter" : ""));
            const Outcome o =
                Simulate({.drift = drift, .buffer = 2.0, .startFill = 2.0, .jitter = jitter});
            EXPECT_EQ(o.holes, 0);
            EXPECT_GT(o.minFill, 0.5) << "the ring came close to running dry";
            EXPECT_LT(o.maxFill, 3.0 + 0.01) << "the ring filled up";
            const double sender = 1.0 + drift;
            EXPECT_LE(std::max(o.maxRatio - sender, sender - o.minRatio), std::abs(drift) + kMargin)
                << "taken at " << o.minRatio << " .. " << o.maxRatio;
            EXPECT_NEAR(o.finalRatio, sender, jitter ? 0.0015 : 0.0002);
            EXPECT_NEAR(o.finalFill, 2.0, 0.3);
        }
    }
}

// Real clocks (tens of ppm) and network jitter: pauses of up to 0.8 s twice a
// minute do not move the correction at all, and it does not swing on its own.
TEST(DriftControl, JitterDoesNotMakeItHunt) {
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE(seed);
        const Outcome o =
            Simulate({.drift = 0.00005, .buffer = 2.0, .startFill = 2.0, .jitter = true}, seed);
        EXPECT_EQ(o.holes, 0);
        EXPECT_GT(o.minRatio, 1.0 - 0.0003);
        EXPECT_LT(o.maxRatio, 1.0 + 0.0003);
        EXPECT_GT(o.pauses, 60);
        EXPECT_EQ(o.reversals, 0);
    }
    const Outcome calm = Simulate({.drift = 0.00005, .buffer = 2.0, .startFill = 2.0});
    EXPECT_LE(calm.reversals, 1);
    EXPECT_NEAR(calm.maxRatio, 1.00005, 0.0003);
}

// A ring that starts fuller than the target or emptier (as after a stall) is
// brought back at a pace below hearing, not by a jump in pitch.
TEST(DriftControl, StartAwayFromTheTargetGlidesBack) {
    for (const double start : {2.4, 1.2}) {
        SCOPED_TRACE(start);
        const Outcome o = Simulate({.buffer = 2.0, .startFill = start, .seconds = 4000});
        EXPECT_LT(o.maxRatio, 1.0 + 0.001);
        EXPECT_GT(o.minRatio, 1.0 - 0.001);
        EXPECT_NEAR(o.finalFill, 2.0, 0.15) << "back at the target within the hour";
    }
}

// After a stall the control watches afresh but keeps what it learnt of the
// sender's clock.
TEST(DriftControl, RestartKeepsTheClockEstimate) {
    DriftControl control(kRate, 1.5 * kRate, kRate, kPeriod);
    double fill = 1.0;
    double ratio = 1.0;
    for (double t = 0; t < 1800; t += kPeriod) {
        fill += (1.01 - ratio) * kPeriod;
        ratio = control.update(fill * kRate);
    }
    ASSERT_NEAR(control.driftEstimate(), 0.01, 0.0005);
    control.restart();
    EXPECT_TRUE(control.settling());
    EXPECT_NEAR(control.update(0.5 * kRate), ratio, 1e-9) << "no jump when it starts over";
    EXPECT_NEAR(control.driftEstimate(), 0.01, 0.0005);
}

}  // namespace
}  // namespace qvm::audio
