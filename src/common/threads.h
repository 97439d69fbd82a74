// Worker threads of the two batch calls, with a test hook that makes the
// N-th thread start fail.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace korvane {

constexpr std::size_t kWorkerStackBytes = 16u << 20;
constexpr std::size_t kWorkerGuardBytes = 16u << 10;

// Starts `body(arg)` on a new thread with a 16 MiB stack and a 16 KiB guard.
// False when the thread could not be started.
bool startWorker(pthread_t* thread, void* (*body)(void*), void* arg);
void joinWorker(pthread_t thread);

// Runs body(&args[i]) on one thread each for i < count and joins them all.
// False when a thread could not be started; the ones started before it
// have run and been joined by then.
template <class Arg>
bool runWorkers(pthread_t* handles, std::size_t count, void* (*body)(void*), Arg* args) {
    std::size_t started = 0;
    while (started < count && startWorker(&handles[started], body, &args[started])) ++started;
    for (std::size_t t = 0; t < started; ++t) joinWorker(handles[t]);
    return started == count;
}

// Test hooks, numbered like the allocation hooks.
void armThreadFailure(std::uint64_t n);
void disarmThreadFailure();

}  // namespace korvane
