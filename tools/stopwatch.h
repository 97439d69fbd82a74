// Timing: wall-clock seconds of one operation, and the clocks a measurement
// can be taken on.
#pragma once

#include <chrono>
#include <ctime>

namespace korvane::tool {

// Seconds on the monotonic wall clock, from an arbitrary start.
inline double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU seconds of the calling thread: on a shared, oversubscribed machine the
// time spent waiting for a core would otherwise swamp single-thread figures.
inline double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace korvane::tool
