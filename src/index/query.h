// Query-side scoring shared by the search functions.
#pragma once

#include <cstdint>

#include "encoding/scoring.h"
#include "graph/heap.h"
#include "graph/search.h"
#include "index/context.h"
#include "index/index.h"
#include "index/search_result.h"

namespace korvane {

// Asks for every cache line of [start, start + bytes).
inline void prefetchBytes(const void* start, std::size_t bytes) {
    const auto first = reinterpret_cast<std::uintptr_t>(start) & ~std::uintptr_t{63};
    const auto last = reinterpret_cast<std::uintptr_t>(start) + bytes - 1;
    for (std::uintptr_t line = first; line <= last; line += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(line));
}

// Exact score of a node from its raw copy (the index keeps a complete raw store).
float exactScore(const Index& index, std::uint64_t node, const float* query_rotated);

// Candidates the first stage of two-stage scoring keeps: max(factor x k, k),
// saturating, capped by the context's `slots` (its ef_search); factor 0 keeps
// every candidate.
std::size_t firstStageSize(std::size_t k, std::uint64_t factor, std::uint64_t slots);

// Offers the exact scores of context.rerank[0..count) (node numbers, which
// the index keeps raw copies of) to `heap`, in order, with their ids.
void offerExactScores(const Index& index, const SearchContext& context, std::size_t count, ResultHeap& heap);

// Quantizes the context's rotated query and builds its scoring table.
LutSums prepareEstimates(const Index& index, SearchContext& context);

// The three stages of a search after rotation, exposed so that benchmarks
// can time them apart. routeQuery projects the rotated query and returns its
// routing code; walkGraph needs hasGraphToWalk and a scratch that covers the
// index; scoreCandidates builds the scoring table and fills results best first.
RoutingCode routeQuery(const Index& index, SearchContext& context);
bool hasGraphToWalk(const Index& index, const SearchContext& context);
CandidateList walkGraph(const Index& index, SearchContext& context, const RoutingCode& code);
std::size_t scoreCandidates(const Index& index, SearchContext& context, CandidateList candidates,
                            SearchResult* results, std::size_t k);

// The pieces a batch uses to run several searches at once, each giving the
// bits of `search`. readyToSearch: false when the query has no results
// (empty index, k 0, scratch that cannot grow). routeBlock: the routing codes
// of `count` rotated queries (rows of 256) through one pass over the
// projection; `projected` has room for count x 1024. beginWalk: the descent
// through the upper layers and the start of the base layer's walk, which
// walkGraph runs to its end. prefetchFirstPayloads: asks for what
// scoreCandidates reads first.
bool readyToSearch(const Index& index, SearchContext& context, std::size_t k);
void routeBlock(const Index& index, const float* rotated, std::size_t count, float* projected,
                RoutingCode* codes);
void beginWalk(const Index& index, SearchContext& context, const RoutingCode& code, LayerWalk& walk);
void prefetchFirstPayloads(const Index& index, CandidateList candidates);

}  // namespace korvane
