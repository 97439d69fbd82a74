// Linking a node into the layered graph.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "graph/records.h"

namespace korvane {

// 1 / ln 32: levels fall off geometrically with the degree.
constexpr double kLevelFactor = 0.28853900817779266;

// Level of a new node from the graph's generator, capped at the top level.
std::uint64_t drawLevel(RoutingGraph& graph);

// Inserts node `n` (== graph.node_count) with `code` at `level` (at most 31;
// callers cap it). Every allocation the insertion can need is secured first,
// so OutOfMemory leaves the layers, entry point and node count exactly as
// they were (only spare capacity and the scratch may have grown).
Error insertWithLevel(RoutingGraph& graph, std::uint64_t n, const RoutingCode& code,
                      std::uint64_t level);

// Search breadth for inserting into a graph of `nodes` nodes. A breadth
// above the node count can never fill its result heap, so capping it there
// changes no result while bounding the scratch a huge ef_construction (for
// example from a file) would otherwise ask for.
inline std::size_t constructionBreadth(const RoutingGraph& graph, std::uint64_t nodes) {
    return graph.ef_construction < nodes + 1 ? graph.ef_construction : nodes + 1;
}

// Diversity pass then fill pass over candidates sorted by ascending distance
// to the list owner. Writes up to 32 node numbers to `out`, returns how many.
std::size_t selectNeighbors(const Layer& layer, const Candidate* candidates, std::size_t count,
                            std::uint64_t* out);

// Adds `n` to the list of `m` on the layer, pruning a full list.
std::uint32_t linkBack(Layer& layer, std::uint64_t m, std::uint64_t n);

// linkBack for each listed neighbour in order (with the memory it needs
// fetched ahead).
void linkBackAll(Layer& layer, const std::uint64_t* neighbors, std::size_t count, std::uint64_t n);

}  // namespace korvane
