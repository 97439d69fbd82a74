// The greedy descent and the step-by-step best-first walk of one layer, for
// any measure of how far a node is from the query. A measure is a small
// struct with
//   void ask(std::uint64_t node, std::uint32_t position) const;
//       prefetch what measuring that node reads;
//   std::uint32_t one(std::uint64_t node, std::uint32_t position) const;
//   void many(const std::uint64_t* nodes, const std::uint32_t* positions,
//             std::size_t count, std::uint32_t* distances) const;
// Smaller is closer. The walk's visits and heap decisions depend only on the
// distances, taken one neighbour at a time in list order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph/layer.h"
#include "graph/search.h"
#include "graph/visited.h"

namespace korvane {
namespace walk_detail {

// Never trust a count beyond the slots a record has.
inline std::size_t listedCount(const Node& node) {
    return node.neighbor_count < kDegree ? node.neighbor_count : kDegree;
}

inline const Node& recordOf(const Layer& layer, std::uint64_t node) {
    return layer.nodes[positionOf(layer, node)];
}

// The count and the neighbour list, the part of a record that expansion reads.
inline void prefetchList(const Node& node) {
    const char* first = reinterpret_cast<const char*>(&node.neighbor_count);
    const char* last = reinterpret_cast<const char*>(&node.neighbors[kDegree - 1]);
    for (const char* line = first; line < last; line += 64) __builtin_prefetch(line);
    __builtin_prefetch(last);
}

// Every node number below the visited set's length can enter the frontier
// once, so the frontier needs that many slots.
inline bool scratchCovers(const TraversalScratch& scratch, std::size_t breadth) {
    return breadth > 0 && breadth <= scratch.result_slots && scratch.visited.bit_len <= scratch.candidate_slots;
}

// Marks each unseen neighbour as visited as it is met, so a node listed twice
// is measured once, exactly as a one-pass walk would.
template <class Measure>
void collectFresh(const Layer& layer, const Node& node, const Measure& measure, TraversalScratch& scratch,
                  FreshNeighbors& fresh) {
    fresh.count = 0;
    const std::size_t listed = listedCount(node);
    for (std::size_t i = 0; i < listed; ++i) {
        const std::uint64_t neighbor = node.neighbors[i];
        if (!firstVisit(scratch, neighbor)) continue;
        const std::uint32_t position = positionOf(layer, neighbor);
        measure.ask(neighbor, position);
        fresh.nodes[fresh.count] = neighbor;
        fresh.positions[fresh.count] = position;
        ++fresh.count;
    }
}

// Keeps a neighbour when there is room or when it beats the worst result;
// a kept neighbour is also queued for expansion.
inline void offerNeighbor(const Candidate& candidate, std::size_t breadth, FartherHeap& results,
                          CloserHeap& frontier) {
    if (results.len < breadth) {
        results.push(candidate);
        frontier.push(candidate);
        return;
    }
    if (results.len == 0 || candidate.distance >= results.root().distance) return;
    Candidate worst;
    results.pop(&worst);
    results.push(candidate);
    frontier.push(candidate);
}

}  // namespace walk_detail

// Greedy walk from `entry` to a node no neighbour of which is strictly closer.
template <class Measure>
std::uint64_t descendMeasured(const Layer& layer, const Measure& measure, std::uint64_t entry) {
    std::uint64_t current = entry;
    std::uint32_t best = measure.one(entry, positionOf(layer, entry));
    std::uint64_t nodes[kDegree];
    std::uint32_t positions[kDegree];
    std::uint32_t distances[kDegree];
    while (true) {
        const Node& node = walk_detail::recordOf(layer, current);
        const std::size_t listed = walk_detail::listedCount(node);
        if (listed == 0) return current;
        for (std::size_t i = 0; i < listed; ++i) {
            nodes[i] = node.neighbors[i];
            positions[i] = positionOf(layer, nodes[i]);
            measure.ask(nodes[i], positions[i]);
        }
        measure.many(nodes, positions, listed, distances);
        bool moved = false;
        for (std::size_t i = 0; i < listed; ++i) {
            if (distances[i] < best) {
                best = distances[i];
                current = nodes[i];
                moved = true;
            }
        }
        if (!moved) return current;
    }
}

template <class Measure>
void beginMeasuredWalk(LayerWalk& walk, const Layer& layer, const Measure& measure, std::uint64_t entry,
                       std::size_t breadth, TraversalScratch& scratch) {
    clearVisited(scratch);
    walk.frontier = CloserHeap{scratch.candidate_buffer, scratch.candidate_slots};
    walk.results = FartherHeap{scratch.result_buffer, breadth};
    walk.breadth = breadth;
    walk.scratch = &scratch;
    walk.fresh.count = 0;
    walk.fresh_pending = false;
    walk.guess_next = true;
    walk.done = !walk_detail::scratchCovers(scratch, breadth) || !firstVisit(scratch, entry);
    if (walk.done) return;
    const Candidate start{entry, measure.one(entry, positionOf(layer, entry))};
    walk.frontier.push(start);
    walk.results.push(start);
}

template <class Measure>
bool stepMeasuredWalk(LayerWalk& walk, const Layer& layer, const Measure& measure) {
    using namespace walk_detail;
    if (walk.done) return false;
    if (walk.fresh_pending) {
        measure.many(walk.fresh.nodes, walk.fresh.positions, walk.fresh.count, walk.fresh.distances);
        for (std::size_t i = 0; i < walk.fresh.count; ++i)
            offerNeighbor({walk.fresh.nodes[i], walk.fresh.distances[i]}, walk.breadth, walk.results, walk.frontier);
        walk.fresh_pending = false;
        // The next node to expand is now known for certain.
        if (walk.frontier.len > 0) prefetchList(recordOf(layer, walk.frontier.root().node));
        return true;
    }
    Candidate nearest;
    if (!walk.frontier.pop(&nearest) ||
        (walk.results.len == walk.breadth && nearest.distance > walk.results.root().distance)) {
        walk.done = true;
        return false;
    }
    // Usually the node after this one, unless one of its neighbours turns
    // out closer; a walk run without pause gains its record's lead time.
    if (walk.guess_next && walk.frontier.len > 0) prefetchList(recordOf(layer, walk.frontier.root().node));
    collectFresh(layer, recordOf(layer, nearest.node), measure, *walk.scratch, walk.fresh);
    walk.fresh_pending = true;
    return true;
}

}  // namespace korvane
