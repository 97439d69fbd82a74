#include "common/threads.h"

#include <atomic>

namespace korvane {
namespace {

std::atomic<std::uint64_t> g_thread_attempts{0};
std::atomic<std::uint64_t> g_thread_fail_at{0};

}  // namespace

bool startWorker(pthread_t* thread, void* (*body)(void*), void* arg) {
    const std::uint64_t attempt = g_thread_attempts.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint64_t fail_at = g_thread_fail_at.load(std::memory_order_relaxed);
    if (fail_at != 0 && attempt >= fail_at) return false;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setstacksize(&attr, kWorkerStackBytes) == 0 &&
              pthread_attr_setguardsize(&attr, kWorkerGuardBytes) == 0 &&
              pthread_create(thread, &attr, body, arg) == 0;
    pthread_attr_destroy(&attr);
    return ok;
}

void joinWorker(pthread_t thread) { pthread_join(thread, nullptr); }

void armThreadFailure(std::uint64_t n) {
    g_thread_attempts.store(0, std::memory_order_relaxed);
    g_thread_fail_at.store(n, std::memory_order_relaxed);
}

void disarmThreadFailure() { armThreadFailure(0); }

}  // namespace korvane
