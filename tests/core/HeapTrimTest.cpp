// A reader thread's arena left full of free holes, as months of streams
// coming and going leave it: trimming gives the holes back to the system.
#include "core/HeapTrim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace qvm {
namespace {

std::uint64_t Resident() {
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    unsigned long long size = 0;
    unsigned long long pages = 0;
    EXPECT_EQ(std::fscanf(statm, "%llu %llu", &size, &pages), 2);
    std::fclose(statm);
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

TEST(HeapTrim, FreeHolesInAThreadsArenaGoBackToTheSystem) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
    constexpr std::size_t kBlock = 4096;
    constexpr std::size_t kBlocks = 25600;  // 100 MB
    constexpr std::size_t kKeepEvery = 64;
    std::vector<void*> kept;
    std::thread([&] {
        std::vector<void*> blocks(kBlocks);
        for (void*& block : blocks) {
            block = std::malloc(kBlock);
            std::memset(block, 1, kBlock);
        }
        for (std::size_t i = 0; i < kBlocks; ++i) {
            if (i % kKeepEvery == 0) {
                kept.push_back(blocks[i]);
            } else {
                std::free(blocks[i]);
            }
        }
    }).join();
    const std::uint64_t before = Resident();
    const HeapFigures after = TrimHeap();
    for (void* block : kept) {
        std::free(block);
    }
    constexpr std::uint64_t kMb = 1024 * 1024;
    EXPECT_LT(after.residentBytes + 60 * kMb, before)
        << before / kMb << " MB before, " << after.residentBytes / kMb << " MB after";
    EXPECT_GE(after.inUseBytes, kBlocks / kKeepEvery * kBlock);
    EXPECT_GT(after.freeBytes, 60 * kMb) << "the holes are still the allocator's, only unbacked";
}

}  // namespace
}  // namespace qvm
