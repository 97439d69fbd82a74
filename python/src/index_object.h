// The object behind korvane.Index: the C handle, the lock that orders
// searches against changes, and the pooled search contexts.
#pragma once

#include <cstdint>
#include <vector>

#include "c_api.h"
#include "context_pool.h"
#include "rw_lock.h"

namespace korvane_py {

struct IndexObject {
    korvane_index* handle = nullptr;  // nullptr once closed
    RwLock lock;
    ContextPool contexts;
    // Fixed for the life of the handle, so read without the lock.
    uint32_t dim = KORVANE_DIM;
    uint32_t metric = KORVANE_METRIC_IP;
    // The query of the membership tests: any query finds every listed id
    // in an exact filtered search, except a zero one under cosine, which
    // finds nothing.
    std::vector<float> probe;

    IndexObject() = default;
    IndexObject(const IndexObject&) = delete;
    IndexObject& operator=(const IndexObject&) = delete;
    ~IndexObject();  // runs only once no Python thread can use the object
};

// Takes ownership of `handle` (not nullptr).
IndexObject* openIndexObject(korvane_index* handle);

// Releases the handle and the contexts once no search runs; later calls
// on the object raise ValueError. Closing twice is harmless.
void closeIndexObject(IndexObject& object);

// The index whose add is running its progress callable on this thread, if
// any. That add holds the index's lock, so a call on the same index from
// the callable would wait for itself: the accesses below refuse it instead.
inline thread_local const IndexObject* reporting_add = nullptr;
void refuseInsideOwnAdd(const IndexObject& object);

// Scoped access to an open index. Both wait for the lock, so they must be
// taken with the GIL released; they throw ValueError on a closed index.
struct ReadAccess {
    IndexObject& object;
    explicit ReadAccess(IndexObject& o);
    ~ReadAccess();
    ReadAccess(const ReadAccess&) = delete;
    ReadAccess& operator=(const ReadAccess&) = delete;
};

struct WriteAccess {
    IndexObject& object;
    explicit WriteAccess(IndexObject& o);
    ~WriteAccess();
    WriteAccess(const WriteAccess&) = delete;
    WriteAccess& operator=(const WriteAccess&) = delete;
};

// Runs a read that never waits long (length, memory, store) with the GIL
// held when the lock is free, and with it released otherwise.
template <class Read>
auto quickRead(IndexObject& object, Read read);

// Whether `id` is live: an exact filtered search over that one id.
bool containsId(IndexObject& object, uint64_t id);

void throwClosed();

}  // namespace korvane_py

#include "index_object_inl.h"
