#include "parallel.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace korvane::tool {

std::uint64_t hardwareThreads() {
    return std::max<std::uint64_t>(1, std::thread::hardware_concurrency());
}

std::uint64_t workerCount(std::uint64_t count, std::uint64_t threads) {
    return std::clamp<std::uint64_t>(threads, 1, std::max<std::uint64_t>(count, 1));
}

void parallelFor(std::uint64_t count, std::uint64_t threads, const SliceBody& body) {
    const std::uint64_t workers = workerCount(count, threads);
    if (workers == 1) {
        body(0, 0, count);
        return;
    }
    std::vector<std::thread> pool;
    for (std::uint64_t t = 0; t < workers; ++t) {
        const std::uint64_t begin = count * t / workers;
        const std::uint64_t end = count * (t + 1) / workers;
        pool.emplace_back([&body, t, begin, end] { body(t, begin, end); });
    }
    for (std::thread& thread : pool) thread.join();
}

}  // namespace korvane::tool
