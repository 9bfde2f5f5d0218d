#pragma once

#include <cstdint>

namespace qvm {

struct HeapFigures {
    std::uint64_t residentBytes = 0;  // the process's resident memory
    std::uint64_t inUseBytes = 0;     // handed out by the allocator
    std::uint64_t freeBytes = 0;      // free inside the allocator's arenas
};

// Gives the free memory inside the allocator's arenas back to the system and
// reports what is left. Every stream's reader thread allocates in an arena of
// its own, and streams come and go for months: the free pages scattered
// through those arenas are never returned by the allocator itself, so the
// resident memory of a long run creeps up although nothing leaks. Takes a few
// milliseconds; called on the UI thread now and then.
HeapFigures TrimHeap();

}  // namespace qvm
