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
};

// Secures, item by item in order, the room on the existing layers that
// items of the given levels need, each layer growing as one-by-one
// insertions would grow it; returns how many items got theirs (what was
// reserved stays reserved). Touches the layers: no one may read the graph
// meanwhile.
std::size_t reserveChunkRoom(RoutingGraph& graph, const std::uint64_t* levels, std::size_t count);

// Commits the items in order: runs of planned items are added and then
// linked back over the crew's members (on the calling thread without a
// crew); any other item is inserted with insertWithLevel in its turn. The
// room of every item must be reserved (reserveChunkRoom).
// Returns the number committed: fewer than `count` when an unplanned item's
// insertion failed, which leaves that item and those after it out.
std::size_t commitChunk(RoutingGraph& graph, const PlannedChunk& chunk, Crew* crew);

}  // namespace korvane
