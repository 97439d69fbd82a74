// What a search hands back: a caller's id and its score (larger is better),
// and the heap that keeps the best of them.
#pragma once

#include <cstdint>

#include "graph/heap.h"

namespace korvane {

struct SearchResult {
    std::uint64_t id;
    float score;
};

struct LowerScore {
    static bool above(const SearchResult& a, const SearchResult& b) { return a.score < b.score; }
};

using ResultHeap = BinaryHeap<SearchResult, LowerScore>;

}  // namespace korvane
