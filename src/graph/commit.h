// Committing insertions planned against the graph as it stood before them.
// A reverse link (layer, m, n) reads and writes only m's list on that layer
// and reads codes, which never change; so once a run of planned nodes has
// been added to its layers in order, its link-backs can be applied by
// several threads at once, split by target node, each target's in commit
// order: the graph comes out byte for byte as from one-by-one commits.
// A node without a plan searches the graph as it stands, so everything
// before it is committed first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crew.h"
#include "graph/insert.h"
#include "graph/records.h"

namespace korvane {

// Items to commit as nodes first, first + 1, ...
struct PlannedChunk {
    std::uint64_t first;
    const RoutingCode* codes;
    const std::uint64_t* levels;
    const InsertionPlan* plans;
    std::size_t count;
    // When set, the wall time spent in link-backs is added here.
    double* linking_back_seconds = nullptr;
};

// Layer 0's arrays copied into the size a chunk of new nodes needs, made
// while workers still read the graph (the copy only reads it) and adopted
// once they are done; empty when no growth is needed.
struct BaseGrowth {
    Node* nodes = nullptr;
    std::size_t nodes_cap = 0;
    RoutingCode* codes = nullptr;
    std::size_t codes_cap = 0;
};

// False on allocation failure (nothing staged then).
bool stageBaseGrowth(const RoutingGraph& graph, std::size_t nodes, BaseGrowth& growth);
void adoptBaseGrowth(RoutingGraph& graph, BaseGrowth& growth);

// Room on the existing layers for items of the given levels, each layer
// grown as one-by-one insertions would grow it. False on allocation
// failure; what was grown stays grown.
bool reserveChunkRoom(RoutingGraph& graph, const std::uint64_t* levels, std::size_t count);
// How many of the items, in order, fit on the existing layers without growth.
std::size_t itemsThatFit(const RoutingGraph& graph, const std::uint64_t* levels, std::size_t count);

// Commits the items in order: runs of planned items are added and then
// linked back over the crew's members (on the calling thread without a
// crew); any other item is inserted with insertWithLevel in its turn. The
// room of every item must be reserved (reserveChunkRoom or itemsThatFit).
// Returns the number committed: fewer than `count` when an unplanned item's
// insertion failed, which leaves that item and those after it out.
std::size_t commitChunk(RoutingGraph& graph, const PlannedChunk& chunk, Crew* crew);

}  // namespace korvane
