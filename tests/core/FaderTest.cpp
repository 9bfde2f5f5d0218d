#include "core/Fader.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/FakeClock.h"

namespace qvm {
namespace {

using test::FakeClock;

// Days as a double resolve about 0.3 us here; compare ramp values loosely and
// step just past an end.
constexpr double kTol = 1e-4;
constexpr double kPast = 1e-3;

struct Event {
    char kind;  // 's'tart, 'c'hange, 'e'nd
    double value;
    bool operator==(const Event& o) const {
        return kind == o.kind && std::abs(value - o.value) < kTol;
    }
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << e.kind << '(' << e.value << ')';
}

// A fader on the fake wall clock that records its callbacks.
struct RecordingFader {
    TQVFader fader{&FakeClock::WallDays};
    std::vector<Event> events;

    RecordingFader() {
        fader.OnStart = [this](TQVFader&, double v) { events.push_back({'s', v}); };
        fader.OnChange = [this](TQVFader&, double v) { events.push_back({'c', v}); };
        fader.OnEnd = [this](TQVFader&, double v) { events.push_back({'e', v}); };
    }
    void advance(double seconds) {
        FakeClock::wallDays = FakeClock::wallDays.load() + seconds / 86400.0;
        fader.Tick();
    }
    int endCount() const {
        return static_cast<int>(std::count_if(events.begin(), events.end(),
                                              [](const Event& e) { return e.kind == 'e'; }));
    }
};

TEST(Fader, TimedRampReportsStartStepsAndOneEnd) {
    RecordingFader r;
    r.fader.FadeTo(50, 2);
    EXPECT_EQ(r.events, (std::vector<Event>{{'s', 0}, {'c', 0}}));
    EXPECT_TRUE(r.fader.Running());
    EXPECT_TRUE(r.fader.Timer().isActive());

    r.advance(1.0);
    EXPECT_NEAR(r.fader.Value(), 25, kTol);
    r.advance(1.0 + kPast);
    EXPECT_EQ(r.fader.Value(), 50) << "the end is exact";
    EXPECT_FALSE(r.fader.Running());
    EXPECT_FALSE(r.fader.Timer().isActive());
    EXPECT_EQ(r.events.back(), (Event{'e', 50}));
    EXPECT_EQ(r.endCount(), 1);
}

TEST(Fader, ImmediateCasesReportEverythingAtOnce) {
    struct Case {
        double start, target, seconds;
    };
    const Case cases[] = {
        {0.5, 0.5, 3},    // already there
        {0, 1, 0},        // zero length
        {0, 1, -1},       // negative length
        {0, 1, 86400.5},  // longer than a day
        {0, 1, std::numeric_limits<double>::quiet_NaN()},
    };
    for (const Case& c : cases) {
        RecordingFader r;
        r.fader.SetValue(c.start);
        r.fader.FadeTo(c.target, c.seconds);
        EXPECT_EQ(r.events, (std::vector<Event>{{'s', c.target}, {'c', c.target}, {'e', c.target}}))
            << c.start << " -> " << c.target << " over " << c.seconds;
        EXPECT_FALSE(r.fader.Timer().isActive());
    }
}

TEST(Fader, ClockSetBackIsCompensatedAndSetForwardEnds) {
    RecordingFader r;
    r.fader.FadeTo(1.0, 2);
    r.advance(1.0);
    EXPECT_NEAR(r.fader.Value(), 0.5, kTol);
    r.advance(-3600.0);  // the clock jumps back an hour
    EXPECT_NEAR(r.fader.Value(), 0.5, kTol);
    r.advance(0.5);
    EXPECT_NEAR(r.fader.Value(), 0.75, kTol) << "the ramp neither lengthens nor shortens";
    r.advance(0.5 + kPast);
    EXPECT_EQ(r.fader.Value(), 1.0);
    EXPECT_EQ(r.endCount(), 1);

    RecordingFader forward;
    forward.fader.FadeTo(1.0, 2);
    forward.advance(3600.0);
    EXPECT_EQ(forward.fader.Value(), 1.0);
    EXPECT_EQ(forward.endCount(), 1);
}

TEST(Fader, SetValueDuringARampRestartsItFromTheNewValue) {
    RecordingFader r;
    r.fader.FadeTo(100, 2);
    r.advance(1.0);
    EXPECT_NEAR(r.fader.Value(), 50, kTol);
    const auto before = r.events.size();
    r.fader.SetValue(20);
    EXPECT_EQ(r.events.size(), before) << "SetValue reports nothing";
    r.fader.Step();
    EXPECT_NEAR(r.fader.Value(), 20 + 80 * 0.5, kTol);
    r.advance(1.0 + kPast);
    EXPECT_EQ(r.fader.Value(), 100);
}

TEST(Fader, ANewRampReplacesTheOldWithoutItsEnd) {
    RecordingFader r;
    r.fader.FadeTo(1.0, 2);
    r.advance(1.0);
    r.fader.FadeTo(0.0, 1);
    EXPECT_EQ(r.endCount(), 0);
    r.advance(0.5);
    EXPECT_NEAR(r.fader.Value(), 0.25, kTol);
    r.advance(0.5 + kPast);
    EXPECT_EQ(r.fader.Value(), 0.0);
    EXPECT_EQ(r.endCount(), 1);
}

// A fading stop sets its own end callback, which puts the normal one back while
// it runs; the swap must neither crash nor lose a call.
TEST(Fader, EndCallbackMayReplaceItselfWhileRunning) {
    RecordingFader r;
    int finishCalls = 0;
    auto normalEnd = r.fader.OnEnd;
    r.fader.OnEnd = [&, normalEnd](TQVFader& f, double v) {
        ++finishCalls;
        f.OnEnd = normalEnd;  // destroys the running callable's stored copy
        normalEnd(f, v);
    };
    r.fader.FadeTo(0.0, 0);  // already at 0: ends at once
    EXPECT_EQ(finishCalls, 1);
    EXPECT_EQ(r.endCount(), 1);

    r.fader.FadeTo(1.0, 0);
    EXPECT_EQ(finishCalls, 1) << "the normal callback is back";
    EXPECT_EQ(r.endCount(), 2);
}

}  // namespace
}  // namespace qvm
