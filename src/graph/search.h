// Traversals of one layer by Hamming distance.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph/heap.h"
#include "graph/records.h"

namespace korvane {

struct HammingKernels;

// Greedy walk from `entry` to a node no neighbour of which is strictly closer.
std::uint64_t greedyDescend(const Layer& layer, const RoutingCode& query, std::uint64_t entry);

struct CandidateList {
    const Candidate* items;  // in the scratch's result_buffer
    std::size_t len;
};

// Neighbours of one expanded node that the walk has not seen yet, in list
// order, with their positions and (once evaluated) their distances.
struct FreshNeighbors {
    std::uint64_t nodes[kDegree];
    std::uint32_t positions[kDegree];
    std::uint32_t distances[kDegree];
    std::size_t count;
};

// A bounded best-first search of one layer that can be advanced step by
// step, so that one thread can keep several walks in flight and let the
// memory waits of one overlap the work of the others. An expansion is two
// steps, each ending with prefetches of what the next one reads: the first
// pops the nearest node and lists its unseen neighbours (asking for their
// codes), the second measures and offers them (asking for the record of the
// node to expand next). Run to the end, a walk makes exactly the visits and
// heap operations of searchLayer, which is such a walk run without pause.
struct LayerWalk {
    CloserHeap frontier;
    FartherHeap results;
    std::size_t breadth;
    TraversalScratch* scratch;
    const HammingKernels* hamming;  // the Hamming walk's kernels (walk.h walks any measure)
    FreshNeighbors fresh;
    bool fresh_pending;  // listed, not yet measured and offered
    // Also ask for the likely record after next (set by beginLayerWalk); a
    // walk that pauses between steps has the exact one asked for in time.
    bool guess_next;
    bool done;
};

// Starts a walk from `entry` (clears the scratch's visited set). The walk
// uses the scratch's buffers until it is finished.
void beginLayerWalk(LayerWalk& walk, const Layer& layer, const RoutingCode& query,
                    std::uint64_t entry, std::size_t breadth, TraversalScratch& scratch);

// One step; false once the walk is over (then it is `done`).
bool stepLayerWalk(LayerWalk& walk, const Layer& layer, const RoutingCode& query);

// The results of a walk that is done, by ascending distance.
CandidateList finishLayerWalk(LayerWalk& walk);

// Bounded best-first search; results by ascending distance (stable on the
// result heap's array order). Needs breadth >= 1 and a scratch sized for
// every node number on the layer and `breadth` results.
CandidateList searchLayer(const Layer& layer, const RoutingCode& query, std::uint64_t entry,
                          std::size_t breadth, TraversalScratch& scratch);

}  // namespace korvane
