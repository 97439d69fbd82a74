// Worker threads of the two batch calls, with a test hook that makes the
// N-th thread start fail.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace korvane {

constexpr std::size_t kWorkerStackBytes = 16u << 20;
constexpr std::size_t kWorkerGuardBytes = 16u << 10;

// Starts `body(arg)` on a new thread with a 16 MiB stack and a 16 KiB guard.
// False when the thread could not be started.
bool startWorker(pthread_t* thread, void* (*body)(void*), void* arg);
void joinWorker(pthread_t thread);

// Test hooks, numbered like the allocation hooks.
void armThreadFailure(std::uint64_t n);
void disarmThreadFailure();

}  // namespace korvane
