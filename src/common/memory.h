// The one allocation facade of the library. Every byte the library owns comes
// from here, so tests can make the N-th allocation fail and count what is
// still outstanding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// Alignment of every block: a cache line, so that packed code arrays and
// matrices can be loaded with aligned vector instructions.
constexpr std::size_t kBlockAlignment = 64;

// Returns a 64-byte aligned block of at least `bytes` bytes, or nullptr.
// A request of 0 bytes returns nullptr without counting as an allocation.
void* allocateBytes(std::size_t bytes);
void releaseBytes(void* block);

// Asks the system to back the whole 2 MiB pages inside a block with huge
// pages where it allows that (a hint; contents are unaffected). For arrays
// that fill up and are then read at random: a walk over a large index then
// misses the TLB far less often, and filling takes one fault per 2 MiB
// instead of one per 4 KiB. Not for scratch room that is mostly untouched,
// where a huge page would make resident what 4 KiB pages leave out.
void preferHugePages(void* block, std::size_t bytes);

// Whole pages from the system, for the two matrices. Same failure rules.
void* allocatePages(std::size_t bytes);
void releasePages(void* block, std::size_t bytes);

// Typed helpers: nullptr on failure or when count * sizeof(T) overflows.
template <class T>
T* allocateArray(std::size_t count) {
    if (count == 0 || count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(allocateBytes(count * sizeof(T)));
}

template <class T>
void releaseArray(T* array) {
    releaseBytes(array);
}

// Test hooks. Allocations are numbered from 1 after armFailure.
struct AllocationStats {
    std::uint64_t attempts;   // allocations attempted since the last arm
    std::int64_t outstanding; // blocks and page runs not yet released
};

// Fail the n-th attempt from now (n >= 1); with `and_after`, fail every
// attempt from the n-th on. n = 0 disarms.
void armAllocationFailure(std::uint64_t n, bool and_after = false);
void disarmAllocationFailure();
AllocationStats allocationStats();

}  // namespace korvane
