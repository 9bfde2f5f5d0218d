#include "core/HeapTrim.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdio>

namespace qvm {

namespace {

std::uint64_t ResidentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long long size = 0;
    unsigned long long resident = 0;
    const int read = std::fscanf(statm, "%llu %llu", &size, &resident);
    std::fclose(statm);
    return read == 2 ? resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace

HeapFigures TrimHeap() {
    ::malloc_trim(0);
    const struct mallinfo2 info = ::mallinfo2();
    HeapFigures figures;
    figures.residentBytes = ResidentBytes();
    figures.inUseBytes = info.uordblks + info.hblkhd;
    figures.freeBytes = info.fordblks;
    return figures;
}

}  // namespace qvm
