// The search driver, batch search and filtered search.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "index/context.h"
#include "index/index.h"
#include "index/search_result.h"

namespace korvane {

// Up to k results, best first, into `results` (room for k). Grows the
// context's traversal scratch first when the index has outgrown it; when
// that growth fails the search returns 0.
std::size_t search(const Index& index, SearchContext& context, const float* query,
                   SearchResult* results, std::size_t k);

std::size_t searchFiltered(const Index& index, SearchContext& context, const float* query,
                           const std::uint64_t* allowed_ids, std::uint64_t n_allowed,
                           std::uint64_t k, SearchResult* results);

// Ok, InvalidArgument (n_queries x k out of range) or OutOfMemory (threads
// that cannot start count as such). Every worker's context gets `rerank_factor`
// and `walk`.
Error searchBatch(const Index& index, const float* queries, std::uint64_t n_queries,
                  std::uint64_t k, std::uint64_t ef_search, std::uint64_t rerank_factor,
                  Walk walk, std::uint64_t n_threads, std::uint64_t* out_ids, float* out_scores,
                  std::uint64_t* out_counts);

}  // namespace korvane
