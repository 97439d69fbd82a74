// Traversals of one layer by Hamming distance.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph/records.h"

namespace korvane {

// Greedy walk from `entry` to a node no neighbour of which is strictly closer.
std::uint64_t greedyDescend(const Layer& layer, const RoutingCode& query, std::uint64_t entry);

struct CandidateList {
    const Candidate* items;  // in the scratch's result_buffer
    std::size_t len;
};

// Bounded best-first search; results by ascending distance (stable on the
// result heap's array order). Needs breadth >= 1 and a scratch sized for
// every node number on the layer and `breadth` results.
CandidateList searchLayer(const Layer& layer, const RoutingCode& query, std::uint64_t entry,
                          std::size_t breadth, TraversalScratch& scratch);

}  // namespace korvane
