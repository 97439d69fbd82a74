#include "common/memory.h"

#include <sys/mman.h>

#include <atomic>
#include <new>

namespace korvane {
namespace {

std::atomic<std::uint64_t> g_attempts{0};
std::atomic<std::uint64_t> g_fail_at{0};
std::atomic<bool> g_fail_after{false};
std::atomic<std::int64_t> g_outstanding{0};

// True when this attempt has been chosen to fail by a test.
bool injectedFailure() {
    const std::uint64_t attempt = g_attempts.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint64_t fail_at = g_fail_at.load(std::memory_order_relaxed);
    if (fail_at == 0) return false;
    if (attempt == fail_at) return true;
    return attempt > fail_at && g_fail_after.load(std::memory_order_relaxed);
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* allocateBytes(std::size_t bytes) {
    if (bytes == 0 || injectedFailure()) return nullptr;
    void* block = ::operator new(bytes, std::align_val_t(kBlockAlignment), std::nothrow);
    if (block) g_outstanding.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void preferHugePages(void* block, std::size_t bytes) {
    if (bytes < 2 * kHugePage) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void releaseBytes(void* block) {
    if (!block) return;
    g_outstanding.fetch_sub(1, std::memory_order_relaxed);
    ::operator delete(block, std::align_val_t(kBlockAlignment));
}

void* allocatePages(std::size_t bytes) {
    if (bytes == 0 || injectedFailure()) return nullptr;
    // Page blocks are written in full right away (the matrices), so map them
    // populated: one call instead of a fault per page.
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    g_outstanding.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void releasePages(void* block, std::size_t bytes) {
    if (!block) return;
    g_outstanding.fetch_sub(1, std::memory_order_relaxed);
    munmap(block, bytes);
}

void armAllocationFailure(std::uint64_t n, bool and_after) {
    g_fail_after.store(and_after, std::memory_order_relaxed);
    g_attempts.store(0, std::memory_order_relaxed);
    g_fail_at.store(n, std::memory_order_relaxed);
}

void disarmAllocationFailure() { armAllocationFailure(0, false); }

AllocationStats allocationStats() {
    return {g_attempts.load(std::memory_order_relaxed), g_outstanding.load(std::memory_order_relaxed)};
}

}  // namespace korvane
