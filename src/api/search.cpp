// Exported search functions.
#include "api/handles.h"
#include "index/search.h"
#include "korvane.h"

namespace {

uint64_t copyResults(const korvane::SearchResult* results, std::size_t n, uint64_t* out_ids,
                     float* out_scores) {
    for (std::size_t i = 0; i < n; ++i) {
        out_ids[i] = results[i].id;
        out_scores[i] = results[i].score;
    }
    return n;
}

}  // namespace

extern "C" {

korvane_context* korvane_context_create(const korvane_index* index, uint64_t ef_search) {
    return korvane::toHandle(korvane::createContext(*korvane::fromHandle(index), ef_search));
}

void korvane_context_destroy(korvane_context* context) {
    korvane::destroyContext(korvane::fromHandle(context));
}

uint64_t korvane_search(const korvane_index* index, korvane_context* context, const float* query,
                        uint64_t k, uint64_t* out_ids, float* out_scores) {
    if (!context) return 0;  // cheap guard; a valid call never passes null
    korvane::SearchResult results[korvane::kMaxResults];
    const std::size_t n = korvane::search(*korvane::fromHandle(index), *korvane::fromHandle(context), query,
                                          results, k < korvane::kMaxResults ? k : korvane::kMaxResults);
    return copyResults(results, n, out_ids, out_scores);
}

}  // extern "C"
