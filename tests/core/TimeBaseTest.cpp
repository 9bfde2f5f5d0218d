#include "core/TimeBase.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "support/FakeClock.h"

namespace qvm {
namespace {

constexpr std::uint64_t kWrap = std::uint64_t{1} << 32;

// Each thread reads the tick it was told to read.
thread_local std::uint32_t t_tick = 0;
std::uint32_t ThreadTick() {
    return t_tick;
}

TEST(TickCount64, CountsAWrapOnceAndKeepsGrowing) {
    TickClock clock(&ThreadTick);
    struct Step {
        std::uint32_t tick;
        std::uint64_t expected;
    };
    const Step steps[] = {
        {0xFFFFFF00u, 0xFFFFFF00u},  // first call: the plain tick, even past 2^31
        {0xFFFFFFFFu, 0xFFFFFFFFu},
        {5u, kWrap + 5},  // wrapped
        {5u, kWrap + 5},  // same tick again
        {0x7FFFFFFFu, kWrap + 0x7FFFFFFFu},
        {0x80000010u, kWrap + 0x80000010u},
        {3u, 2 * kWrap + 3},  // second wrap
    };
    for (const Step& s : steps) {
        t_tick = s.tick;
        EXPECT_EQ(clock.now(), s.expected) << "tick " << s.tick;
    }
}

// A reading taken before the wrap by a thread that is overtaken by one taken
// after it: each keeps its own side of the wrap and the wrap counts once.
TEST(TickCount64, TwoThreadsAcrossAWrapInEitherOrder) {
    for (const bool lateReaderFirst : {false, true}) {
        TickClock clock(&ThreadTick);
        t_tick = 0xFFFFFFF0u;
        ASSERT_EQ(clock.now(), 0xFFFFFFF0u);

        std::latch afterWrapDone(1);
        std::uint64_t beforeWrapValue = 0;
        std::uint64_t afterWrapValue = 0;
        std::thread beforeWrap([&] {
            t_tick = 0xFFFFFFFEu;
            if (lateReaderFirst) {
                afterWrapDone.wait();  // read the tick, then lose the race
            }
            beforeWrapValue = clock.now();
        });
        std::thread afterWrap([&] {
            t_tick = 7u;
            afterWrapValue = clock.now();
            afterWrapDone.count_down();
        });
        beforeWrap.join();
        afterWrap.join();

        EXPECT_EQ(beforeWrapValue, 0xFFFFFFFEu) << lateReaderFirst;
        EXPECT_EQ(afterWrapValue, kWrap + 7) << lateReaderFirst;
        t_tick = 9u;
        EXPECT_EQ(clock.now(), kWrap + 9) << "the wrap was counted twice or not at all";
    }
}

// Many threads read a shared tick that runs through a wrap; every result must
// be the true 64-bit time of the reading it came from.
std::atomic<std::uint64_t> g_trueTime{0};
thread_local std::uint64_t t_trueReading = 0;
std::uint32_t SharedTick() {
    t_trueReading = g_trueTime.fetch_add(1) + 1;
    return static_cast<std::uint32_t>(t_trueReading);
}

TEST(TickCount64, ConcurrentReadersThroughAWrapSeeTrueTime) {
    g_trueTime = kWrap - 20000;
    TickClock clock(&SharedTick);
    ASSERT_EQ(clock.now(), kWrap - 19999);
    constexpr int kThreads = 4;
    constexpr int kCalls = 20000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
                const std::uint64_t value = clock.now();
                if (value != t_trueReading) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(g_trueTime.load(), kWrap);
    const std::uint64_t last = clock.now();
    EXPECT_EQ(last, g_trueTime.load());
}

// A player waiting a month for its sound device may read no time at all
// (with Wait = 0 nothing asks): the tick must come back right afterwards. A
// 32-bit tick extended by its readings cannot know how often it wrapped
// meanwhile; the program's clock is the 64-bit system tick, read as it is.
std::atomic<std::uint64_t> g_time64{0};
std::uint64_t Tick64() {
    return g_time64.load();
}

TEST(TickCount64, RightAfterAMonthWithoutReadings) {
    constexpr std::uint64_t kMonth = 31ull * 86400 * 1000;
    g_time64 = kWrap - 1000;
    {
        ScopedTickSource source(&Tick64);
        EXPECT_EQ(TickCount64(), kWrap - 1000);
        g_time64 += kMonth;
        EXPECT_EQ(TickCount64(), kWrap - 1000 + kMonth);
    }
    // The same month on a 32-bit tick is taken for a step backwards: what the
    // 64-bit source avoids.
    TickClock clock32(&ThreadTick);
    t_tick = static_cast<std::uint32_t>(kWrap - 1000);
    clock32.now();
    t_tick = static_cast<std::uint32_t>(kWrap - 1000 + kMonth);
    EXPECT_NE(clock32.now(), kWrap - 1000 + kMonth);
    // Outside tests the program runs on the system's 64-bit tick.
    const std::uint64_t system = SystemTick64();
    EXPECT_LE(system, TickCount64());
    EXPECT_LE(TickCount64(), SystemTick64());
}

TEST(TickCount64, GlobalClockUsesTheInjectedSource) {
    test::FakeClock::tick = 123456u;
    {
        ScopedTickSource source(&test::FakeClock::Tick32);
        EXPECT_EQ(TickCount64(), 123456u);
        test::FakeClock::advanceMs(10);
        EXPECT_EQ(TickCount64(), 123466u);
    }
    // Back on the system clock: grows by itself.
    const std::uint64_t a = TickCount64();
    const std::uint64_t b = TickCount64();
    EXPECT_LE(a, b);
}

TEST(PumpMessages, PumpsAtMostEvery100msUnlessForced) {
    ScopedTickSource source(&test::FakeClock::Tick32);
    test::FakeClock::advanceMs(100000);  // far from any earlier pump

    int ran = 0;
    QTimer::singleShot(0, [&] { ++ran; });
    EXPECT_TRUE(PumpMessages(false));
    EXPECT_EQ(ran, 1) << "a pending event must run inside the pump";

    test::FakeClock::advanceMs(100);
    EXPECT_FALSE(PumpMessages(false)) << "within 100 ms";
    test::FakeClock::advanceMs(1);
    EXPECT_TRUE(PumpMessages(false));

    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_TRUE(PumpMessages(true));
    EXPECT_TRUE(PumpMessages(true));
    EXPECT_GE(elapsed.elapsed(), 38) << "a forced pump sleeps 20 ms each time";
}

TEST(SleepAndPump, RunsEveryPendingEvent) {
    int ran = 0;
    for (int i = 0; i < 5; ++i) {
        QMetaObject::invokeMethod(
            qApp, [&] { ++ran; }, Qt::QueuedConnection);
    }
    SleepAndPump(1);
    EXPECT_EQ(ran, 5);
}

}  // namespace
}  // namespace qvm
