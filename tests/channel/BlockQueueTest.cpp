#include "channel/BlockQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace qvm {
namespace {

std::vector<std::int16_t> Samples(std::int16_t first, int count) {
    std::vector<std::int16_t> s(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        s[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(first + i);
    }
    return s;
}

TEST(TStreamABuffer, FullQueueDropsNewBlocksAndKeepsOrder) {
    TStreamABuffer q;
    q.Init(4);
    for (std::int16_t n = 0; n < 6; ++n) {
        const auto s = Samples(n, 2);
        EXPECT_EQ(q.Push(0, s.data(), 4, 44100, 2), n < 4) << "block " << n;
    }
    EXPECT_EQ(q.Dropped(), 2u);
    int slot = -1;
    const PcmBlock* b = q.Pop(0, &slot);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->samples()[0], 0);
    q.Release(slot);
    const auto late = Samples(100, 2);
    EXPECT_TRUE(q.Push(0, late.data(), 4, 44100, 2)) << "a released slot takes a block again";
    std::vector<int> order;
    while ((b = q.Pop(0, &slot)) != nullptr) {
        order.push_back(b->samples()[0]);
        q.Release(slot);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 100}));
}

TEST(TStreamABuffer, BlocksLeaveOnlyWhenDueAndInOrder) {
    TStreamABuffer q;
    q.Init(64);
    const auto s = Samples(7, 4);
    q.Push(1500, s.data(), 8, 48000, 1);  // tapped at 1000 with a 500 ms delay
    q.Push(1520, s.data(), 8, 48000, 1);
    int slot = -1;
    EXPECT_EQ(q.Pop(1499, &slot), nullptr);
    const PcmBlock* b = q.Pop(1500, &slot);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Time, 1500);
    EXPECT_EQ(b->Length, 8);
    EXPECT_EQ(b->Freq, 48000);
    EXPECT_EQ(b->Chans, 1);
    EXPECT_EQ(std::vector<std::int16_t>(b->samples(), b->samples() + 4), s);
    q.Release(slot);
    EXPECT_EQ(q.Pop(1519, &slot), nullptr) << "the second block is not due yet";
    EXPECT_NE(q.Pop(1520, &slot), nullptr);
}

TEST(TStreamABuffer, ClearEmptiesEverySlotAndOptionallyTheArray) {
    TStreamABuffer q;
    q.Init(3);
    const auto s = Samples(1, 2);
    q.Push(0, s.data(), 4, 1, 1);
    q.Push(0, s.data(), 4, 1, 1);
    int slot = -1;
    ASSERT_NE(q.Pop(0, &slot), nullptr);  // popped, not released
    q.Clear(false);
    EXPECT_EQ(q.Pop(0, &slot), nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(q.Push(0, s.data(), 4, 1, 1));
    }
    q.Clear(true);
    EXPECT_EQ(q.Size(), 0);
    EXPECT_FALSE(q.Push(0, s.data(), 4, 1, 1));
    EXPECT_EQ(q.Pop(0, &slot), nullptr);
    q.Release(0);  // out of range now: nothing happens
}

// One thread pushes numbered blocks of varying size, another pops and releases
// them: every block arrives whole and in order. A full queue drops the new block, so
// the producer offers it again until there is room; that keeps the result independent
// of how the two threads happen to be scheduled.
TEST(TStreamABuffer, ProducerAndConsumerThreadsHandOverWholeBlocks) {
    TStreamABuffer q;
    q.Init(16);
    constexpr int kBlocks = 20000;
    std::vector<int> accepted;  // producer's until joined
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<std::int16_t> s(512);
        for (int n = 0; n < kBlocks; ++n) {
            const int count = 1 + n % 512;
            std::fill(s.begin(), s.begin() + count, static_cast<std::int16_t>(n % 30000));
            while (!q.Push(n, s.data(), count * 2, 44100, 2)) {
                std::this_thread::yield();
            }
            accepted.push_back(n);
        }
        done.store(true, std::memory_order_release);
    });
    std::vector<int> received;
    int bad = 0;
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        int slot = -1;
        const PcmBlock* b = q.Pop(kBlocks, &slot);
        if (b == nullptr) {
            if (finished) {
                break;  // nothing left after the producer's last push
            }
            std::this_thread::yield();
            continue;
        }
        const int n = static_cast<int>(b->Time);
        bool whole = b->Length == (1 + n % 512) * 2;
        for (int i = 0; whole && i < b->Length / 2; ++i) {
            whole = b->samples()[i] == n % 30000;
        }
        bad += whole ? 0 : 1;
        received.push_back(n);
        q.Release(slot);
    }
    producer.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(received, accepted);
    EXPECT_EQ(accepted.size(), static_cast<std::size_t>(kBlocks));
}

TEST(GetLRValue, PeaksPerSideInDecibels) {
    struct Case {
        std::vector<std::int16_t> samples;
        std::uint8_t chans;
        double left, right;
    };
    const double minusOne = 20 * std::log10(32767 / 32768.0);
    const Case cases[] = {
        {{0, 0, 0, 0}, 2, -100.0, -100.0},
        {{-32768, 0}, 2, minusOne, -100.0},  // -32768 counts as 32767
        {{1, 0, 0, 16384}, 2, 20 * std::log10(1 / 32768.0), 20 * std::log10(16384 / 32768.0)},
        {{100, 16384, -1}, 1, 20 * std::log10(16384 / 32768.0), 20 * std::log10(16384 / 32768.0)},
        {{}, 2, -100.0, -100.0},
    };
    for (const Case& c : cases) {
        const PeakDb p = Get_L_R_Value(c.samples.data(),
                                       static_cast<std::int32_t>(c.samples.size() * 2), c.chans);
        EXPECT_NEAR(p.left, c.left, 1e-9);
        EXPECT_NEAR(p.right, c.right, 1e-9);
    }
    EXPECT_NEAR(minusOne, -0.000265, 1e-6);
}

}  // namespace
}  // namespace qvm
