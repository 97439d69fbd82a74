// Search contexts kept per index and per search breadth, so a Python search
// does not allocate one per call. Each context serves one thread at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "c_api.h"

namespace korvane_py {

struct ContextPool {
    std::mutex mutex;
    std::vector<std::pair<uint64_t, korvane_context*>> idle;  // (ef_search, context)
};

// Reserves the idle list once, so returning a context never allocates.
void reserveContextPool(ContextPool& pool);

// An idle context for `ef` set to re-rank factor `rerank` and `walk`, or a
// new one; nullptr when memory runs out.
korvane_context* acquireContext(ContextPool& pool, const korvane_index* index, uint64_t ef, uint64_t rerank,
                                uint32_t walk);
void releaseContext(ContextPool& pool, uint64_t ef, korvane_context* context);
void destroyContexts(ContextPool& pool);

// Holds a pooled context for the length of a scope.
struct PooledContext {
    ContextPool& pool;
    uint64_t ef;
    korvane_context* context;
    PooledContext(ContextPool& p, const korvane_index* index, uint64_t e, uint64_t rerank, uint32_t walk)
        : pool(p), ef(e), context(acquireContext(p, index, e, rerank, walk)) {}
    ~PooledContext() {
        if (context) releaseContext(pool, ef, context);
    }
    PooledContext(const PooledContext&) = delete;
    PooledContext& operator=(const PooledContext&) = delete;
};

}  // namespace korvane_py
