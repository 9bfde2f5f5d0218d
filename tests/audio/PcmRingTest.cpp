#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "audio/PcmRing.h"

namespace qvm::audio {
namespace {

TEST(PcmRing, WholeFramesAcrossTheWrap) {
    PcmRing ring(10, 4);  // capacity rounds down to two frames of four bytes
    EXPECT_EQ(ring.capacity(), 8u);

    const std::uint8_t a[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(ring.write(a, 7), 4u);  // a partial frame is never taken
    EXPECT_EQ(ring.write(a + 4, 12), 4u);
    EXPECT_EQ(ring.write(a, 4), 0u);  // full
    EXPECT_EQ(ring.writable(), 0u);

    std::uint8_t out[12] = {};
    EXPECT_EQ(ring.read(out, 6), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(ring.write(a + 8, 4), 4u);  // lands at the start of the storage
    EXPECT_EQ(ring.read(out, 12), 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8),
              (std::vector<std::uint8_t>{5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(ring.totalRead(), 12u);
    EXPECT_EQ(ring.totalWritten(), 12u);

    EXPECT_EQ(ring.write(a, 8), 8u);
    EXPECT_EQ(ring.skip(5), 4u);
    EXPECT_EQ(ring.skip(100), 4u);
    EXPECT_EQ(ring.readable(), 0u);
    EXPECT_EQ(ring.totalRead(), 20u);
}

// One producer and one consumer on their own threads, chunks that do not
// divide the capacity: every byte arrives once, in order.
TEST(PcmRing, ProducerAndConsumerThreadsKeepTheOrder) {
    constexpr std::size_t kTotal = 4'000'000;
    PcmRing ring(4096 + 12, 4);
    std::thread producer([&] {
        std::vector<std::uint8_t> chunk(1000);
        std::size_t sent = 0;
        while (sent < kTotal) {
            const std::size_t n = std::min(chunk.size(), kTotal - sent);
            for (std::size_t i = 0; i < n; ++i) {
                chunk[i] = static_cast<std::uint8_t>((sent + i) * 7 % 251);
            }
            std::size_t done = 0;
            while (done < n) {
                done += ring.write(chunk.data() + done, n - done);
                if (done < n) {
                    std::this_thread::yield();
                }
            }
            sent += n;
        }
    });
    std::vector<std::uint8_t> chunk(1364);
    std::size_t got = 0;
    std::size_t bad = 0;
    while (got < kTotal) {
        const std::size_t n = ring.read(chunk.data(), chunk.size());
        for (std::size_t i = 0; i < n; ++i) {
            bad += chunk[i] != static_cast<std::uint8_t>((got + i) * 7 % 251) ? 1 : 0;
        }
        got += n;
        if (n == 0) {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(got, kTotal);
}

}  // namespace
}  // namespace qvm::audio
