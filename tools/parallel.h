// Splitting work over the machine's cores with plain threads.
#pragma once

#include <cstdint>
#include <functional>

namespace korvane::tool {

// Number of hardware threads (at least 1).
std::uint64_t hardwareThreads();

// Calls body(worker, begin, end) on up to `threads` threads, worker w taking
// the w-th contiguous slice of [0, count); runs on the calling thread alone
// when one thread suffices.
using SliceBody = std::function<void(std::uint64_t, std::uint64_t, std::uint64_t)>;
void parallelFor(std::uint64_t count, std::uint64_t threads, const SliceBody& body);

// The number of workers parallelFor uses.
std::uint64_t workerCount(std::uint64_t count, std::uint64_t threads);

}  // namespace korvane::tool
