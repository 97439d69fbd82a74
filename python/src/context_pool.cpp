#include "context_pool.h"

namespace korvane_py {
namespace {

// More idle contexts than this are destroyed instead of kept: a program that
// sweeps many breadths should not keep one context per breadth forever.
constexpr std::size_t kMaxIdle = 32;

}  // namespace

void reserveContextPool(ContextPool& pool) { pool.idle.reserve(kMaxIdle); }

korvane_context* acquireContext(ContextPool& pool, const korvane_index* index, uint64_t ef, uint64_t rerank,
                                uint32_t walk) {
    korvane_context* context = nullptr;
    {
        std::lock_guard<std::mutex> guard(pool.mutex);
        for (std::size_t i = pool.idle.size(); i-- > 0;) {
            if (pool.idle[i].first != ef) continue;
            context = pool.idle[i].second;
            pool.idle.erase(pool.idle.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (!context) context = korvane_context_create(index, ef);
    if (context && (korvane_context_set_rerank(context, rerank) != KORVANE_OK ||
                    korvane_context_set_walk(context, walk) != KORVANE_OK)) {
        korvane_context_destroy(context);
        return nullptr;
    }
    return context;
}

void releaseContext(ContextPool& pool, uint64_t ef, korvane_context* context) {
    {
        std::lock_guard<std::mutex> guard(pool.mutex);
        if (pool.idle.size() < pool.idle.capacity()) {  // reserved: never allocates
            pool.idle.emplace_back(ef, context);
            return;
        }
    }
    korvane_context_destroy(context);
}

void destroyContexts(ContextPool& pool) {
    std::lock_guard<std::mutex> guard(pool.mutex);
    for (auto& entry : pool.idle) korvane_context_destroy(entry.second);
    pool.idle.clear();
}

}  // namespace korvane_py
