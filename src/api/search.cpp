// Exported search functions.
#include "api/handles.h"
#include "api/status.h"
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

int32_t korvane_search_batch(const korvane_index* index, const float* queries, uint64_t n_queries, uint64_t k,
                             uint64_t ef_search, uint64_t n_threads, uint64_t* out_ids, float* out_scores,
                             uint64_t* out_counts) {
    return korvane::statusCode(korvane::searchBatch(*korvane::fromHandle(index), queries, n_queries, k, ef_search,
                                                    korvane::kRerankFactor, korvane::Walk::Hamming, n_threads,
                                                    out_ids, out_scores, out_counts));
}

int32_t korvane_search_batch_rerank(const korvane_index* index, const float* queries, uint64_t n_queries, uint64_t k,
                                    uint64_t ef_search, uint64_t rerank_factor, uint64_t n_threads, uint64_t* out_ids,
                                    float* out_scores, uint64_t* out_counts) {
    return korvane::statusCode(korvane::searchBatch(*korvane::fromHandle(index), queries, n_queries, k, ef_search,
                                                    rerank_factor, korvane::Walk::Hamming, n_threads, out_ids,
                                                    out_scores, out_counts));
}

int32_t korvane_context_set_walk(korvane_context* context, uint32_t walk) {
    if (!context || walk > KORVANE_WALK_SCORED) return KORVANE_ERROR;
    korvane::fromHandle(context)->walk = static_cast<korvane::Walk>(walk);
    return KORVANE_OK;
}

int32_t korvane_search_batch_walk(const korvane_index* index, const float* queries, uint64_t n_queries, uint64_t k,
                                  uint64_t ef_search, uint64_t rerank_factor, uint32_t walk, uint64_t n_threads,
                                  uint64_t* out_ids, float* out_scores, uint64_t* out_counts) {
    if (walk > KORVANE_WALK_SCORED) return KORVANE_ERROR;
    return korvane::statusCode(korvane::searchBatch(*korvane::fromHandle(index), queries, n_queries, k, ef_search,
                                                    rerank_factor, static_cast<korvane::Walk>(walk), n_threads,
                                                    out_ids, out_scores, out_counts));
}

int32_t korvane_context_set_rerank(korvane_context* context, uint64_t factor) {
    if (!context) return KORVANE_ERROR;  // cheap guard, as for the searches
    korvane::fromHandle(context)->rerank_factor = factor;
    return KORVANE_OK;
}

uint64_t korvane_search_filtered(const korvane_index* index, korvane_context* context, const float* query,
                                 const uint64_t* allowed_ids, uint64_t n_allowed, uint64_t k, uint64_t* out_ids,
                                 float* out_scores) {
    if (!context) return 0;  // cheap guard; a valid call never passes null
    korvane::SearchResult results[korvane::kMaxResults];
    const std::size_t n = korvane::searchFiltered(*korvane::fromHandle(index), *korvane::fromHandle(context),
                                                  query, allowed_ids, n_allowed, k, results);
    return copyResults(results, n, out_ids, out_scores);
}

}  // extern "C"
