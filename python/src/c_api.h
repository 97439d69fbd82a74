// The C interface as the extension uses it. Until the raw-store and re-rank
// calls are in the header, int8 storage and a re-rank factor of 4 (what the
// library does by default) stand in for them.
#pragma once

#include "korvane.h"

#ifndef KORVANE_STORE_I8
#define KORVANE_STORE_NONE 0u
#define KORVANE_STORE_F32 1u
#define KORVANE_STORE_I8 2u

static inline korvane_index* korvane_index_create_with_store(uint64_t ef_construction, uint64_t seed,
                                                             uint32_t raw_store) {
    return raw_store == KORVANE_STORE_I8 ? korvane_index_create(ef_construction, seed) : nullptr;
}
static inline uint32_t korvane_index_raw_store(const korvane_index*) { return KORVANE_STORE_I8; }
static inline int32_t korvane_context_set_rerank(korvane_context*, uint64_t factor) {
    return factor == 4 ? KORVANE_OK : KORVANE_ERROR;
}
static inline int32_t korvane_search_batch_rerank(const korvane_index* index, const float* queries,
                                                  uint64_t n_queries, uint64_t k, uint64_t ef_search,
                                                  uint64_t rerank_factor, uint64_t n_threads,
                                                  uint64_t* out_ids, float* out_scores, uint64_t* out_counts) {
    if (rerank_factor != 4) return KORVANE_ERROR;
    return korvane_search_batch(index, queries, n_queries, k, ef_search, n_threads, out_ids, out_scores,
                                out_counts);
}
#endif
