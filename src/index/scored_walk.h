// The scored walk: the graph is descended and layer 0 walked in the order of
// a score of each vector instead of its routing code's distance, so the
// query needs no routing code. The walk compares scores through keys: a key
// orders like the score, larger scores first, so the graph's walk and heaps
// carry them as distances unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "encoding/scoring.h"
#include "graph/search.h"
#include "index/context.h"
#include "index/index.h"
#include "index/search_result.h"

namespace korvane {

// What orders the walk: the payload estimate, or the score from the 8-bit
// copies.
enum class WalkScore : std::uint8_t { Estimate, Exact };

// Every number, -0 and +0 apart, maps to its own key, and keyScore inverts
// scoreKey. Every NaN takes the last key, so a vector whose score is NaN is
// never preferred to one with a number; its score comes back as a NaN.
inline std::uint32_t scoreKey(float score) {
    if (score != score) return 0xffffffffu;
    std::uint32_t bits;
    std::memcpy(&bits, &score, sizeof bits);
    const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
    return ~ascending;
}
inline float keyScore(std::uint32_t key) {
    const std::uint32_t ascending = ~key;
    const std::uint32_t bits = (ascending & 0x80000000u) ? ascending & 0x7fffffffu : ~ascending;
    float score;
    std::memcpy(&score, &bits, sizeof score);
    return score;
}

// The score that orders an index's scored walk.
WalkScore walkScoreOf(const Index& index);

// A query's scored walk, held so that a batch can advance several at once.
struct ScoredWalk {
    LayerWalk walk;
    LutSums sums;
    WalkScore score;
};

// Descends the upper layers greedily by the score and starts the walk of
// layer 0 (needs readyToSearch and hasGraphToWalk).
void beginScoredWalk(const Index& index, SearchContext& context, ScoredWalk& walk);
// One step; false once the walk is over.
bool stepScoredWalk(const Index& index, SearchContext& context, ScoredWalk& walk);
// Results of a finished walk, up to k, best first.
std::size_t finishScoredWalk(const Index& index, SearchContext& context, ScoredWalk& walk,
                             SearchResult* results, std::size_t k);

}  // namespace korvane
