// A readers-writer lock that favours writers: once an add or remove is
// waiting, new searches queue behind it, so a stream of searches from many
// Python threads cannot starve a writer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace korvane_py {

struct RwLock {
    std::mutex mutex;
    std::condition_variable changed;
    uint32_t readers = 0;
    uint32_t writers_waiting = 0;
    bool writer = false;
};

inline bool tryLockShared(RwLock& lock) {
    std::lock_guard<std::mutex> guard(lock.mutex);
    if (lock.writer || lock.writers_waiting > 0) return false;
    ++lock.readers;
    return true;
}

inline void lockShared(RwLock& lock) {
    std::unique_lock<std::mutex> guard(lock.mutex);
    lock.changed.wait(guard, [&] { return !lock.writer && lock.writers_waiting == 0; });
    ++lock.readers;
}

inline void unlockShared(RwLock& lock) {
    std::lock_guard<std::mutex> guard(lock.mutex);
    if (--lock.readers == 0) lock.changed.notify_all();
}

inline void lockExclusive(RwLock& lock) {
    std::unique_lock<std::mutex> guard(lock.mutex);
    ++lock.writers_waiting;
    lock.changed.wait(guard, [&] { return !lock.writer && lock.readers == 0; });
    --lock.writers_waiting;
    lock.writer = true;
}

inline void unlockExclusive(RwLock& lock) {
    std::lock_guard<std::mutex> guard(lock.mutex);
    lock.writer = false;
    lock.changed.notify_all();
}

}  // namespace korvane_py
