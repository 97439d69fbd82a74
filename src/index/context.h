// Search contexts: every buffer one search needs.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "common/shape.h"
#include "graph/heap.h"
#include "graph/records.h"
#include "index/index.h"
#include "index/search_result.h"

namespace korvane {

// How a search walks layer 0: by the routing codes' Hamming distance, or by
// a score of each vector (see scored_walk.h).
enum class Walk : std::uint32_t { Hamming = 0, Scored = 1 };

struct SearchContext {
    TraversalScratch scratch;
    float* query_rotated = nullptr;   // padded
    float* query_projected = nullptr; // 1024
    float* query_scoring = nullptr;   // padded
    float* lut = nullptr;             // 8 x padded
    float query_squared = 0.0f;       // Euclidean: the prepared query's squared length
    SearchResult* rerank = nullptr;   // ef_search slots
    std::uint64_t ef_search = 0;
    std::uint64_t rerank_factor = kRerankFactor;
    Walk walk = Walk::Hamming;
};

// Builds a context in place for `index`; ef_search 0 is accepted (no rerank slots).
Error initContext(SearchContext& context, const Index& index, std::uint64_t ef_search);
void deinit(SearchContext& context);

SearchContext* createContext(const Index& index, std::uint64_t ef_search);
void destroyContext(SearchContext* context);

}  // namespace korvane
