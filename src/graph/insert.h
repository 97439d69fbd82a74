// Linking a node into the layered graph, in two steps: a plan that only
// reads the graph (descend, search each layer, select the neighbours) and a
// commit that adds the node with its planned lists and links it back.
// Single insertion plans and commits at once; batch insertion plans on
// worker threads and commits later (graph/commit.h).
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

// The neighbours chosen for a new node on one layer.
struct LayerLinks {
    std::uint32_t neighbors[kDegree];
    std::uint32_t count;
};

// Layers a plan made ahead of its commit covers: nodes of level 4 or more
// (about one in a million) are inserted against the graph as it stands.
constexpr std::size_t kPlannedLayers = 4;

// A new node's lists on layers 0..layers-1; layers 0 means not planned.
struct InsertionPlan {
    std::uint32_t layers;
    LayerLinks links[kPlannedLayers];
};

// Inserts node `n` (== graph.node_count) with `code` at `level` (at most 31,
// as callers cap it; a higher one, or n >= kMaxNodes, is refused as
// OutOfMemory, as a graph cannot have more layers or nodes). Every allocation the insertion can need is secured first,
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

// Reads the graph only. Descends from the entry point of a graph with nodes
// and selects the new node's neighbours on layers min(level, top)..0, layer
// l's into links[l]; returns how many layers that is. The scratch must be
// sized for the graph's nodes and construction breadth.
std::size_t planLinks(const RoutingGraph& graph, const RoutingCode& code, std::uint64_t level,
                      TraversalScratch& scratch, LayerLinks* links);

// planLinks for a node that can be planned ahead of its commit: the graph
// has nodes and the level is below kPlannedLayers and not above the top.
// Otherwise the plan says not planned.
void planInsertion(const RoutingGraph& graph, const RoutingCode& code, std::uint64_t level,
                   TraversalScratch& scratch, InsertionPlan& plan);

// Adds node n with its planned lists to layers 0..layers-1, whose room is
// reserved (cannot fail). Links back nothing and counts nothing.
void addLinkedNode(RoutingGraph& graph, std::uint64_t n, const RoutingCode& code, const LayerLinks* links,
                   std::size_t layers);

// Which of `parts` parts a target node's link-backs belong to.
inline std::size_t partOf(std::uint64_t node, std::size_t parts) {
    const std::uint64_t mixed = (node * 0x9e3779b97f4a7c15ULL) >> 32;
    return static_cast<std::size_t>((mixed * parts) >> 32);
}

// The link-backs to n from its planned lists whose target falls in `part`
// of `parts` (every one for a single part), in list order.
void linkBackPart(RoutingGraph& graph, std::uint64_t n, const LayerLinks* links, std::size_t layers,
                  std::size_t part, std::size_t parts);

// Diversity pass then fill pass over candidates sorted by ascending distance
// to the list owner. Writes up to 32 node numbers to `out`, returns how many.
std::size_t selectNeighbors(const Layer& layer, const Candidate* candidates, std::size_t count,
                            std::uint32_t* out);

// Adds `n` to the list of `m` on the layer, pruning a full list.
std::uint32_t linkBack(Layer& layer, std::uint64_t m, std::uint64_t n);

// linkBack for each listed neighbour in order (with the memory it needs
// fetched ahead).
void linkBackAll(Layer& layer, const std::uint32_t* neighbors, std::size_t count, std::uint64_t n);

}  // namespace korvane
