// Traversals of one layer. Distances of a node's neighbours are computed in
// one batch after their codes have been prefetched, which changes no result:
// the heap decisions are still taken one neighbour at a time in list order.
#include "graph/search.h"

#include "graph/candidate_sort.h"
#include "graph/hamming.h"
#include "graph/heap.h"
#include "graph/layer.h"
#include "graph/visited.h"

namespace korvane {
namespace {

// Never trust a count beyond the slots a record has.
std::size_t listedCount(const Node& node) {
    return node.neighbor_count < kDegree ? node.neighbor_count : kDegree;
}

const Node& recordOf(const Layer& layer, std::uint64_t node) {
    return layer.nodes[positionOf(layer, node)];
}

void prefetchCode(const RoutingCode& code) {
    const char* bytes = reinterpret_cast<const char*>(&code);
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + 64);
}

// The count and the neighbour list, the part of a record that expansion reads.
void prefetchList(const Node& node) {
    const char* first = reinterpret_cast<const char*>(&node.neighbor_count);
    const char* last = reinterpret_cast<const char*>(&node.neighbors[kDegree - 1]);
    for (const char* line = first; line < last; line += 64) __builtin_prefetch(line);
    __builtin_prefetch(last);
}

// Every node number below the visited set's length can enter the frontier
// once, so the frontier needs that many slots.
bool scratchCovers(const TraversalScratch& scratch, std::size_t breadth) {
    return breadth > 0 && breadth <= scratch.result_slots &&
           scratch.visited.bit_len <= scratch.candidate_slots;
}

// Marks each unseen neighbour as visited as it is met, so a node listed twice
// is evaluated once, exactly as a one-pass walk would.
void collectFresh(const Layer& layer, const Node& node, TraversalScratch& scratch, FreshNeighbors& fresh) {
    fresh.count = 0;
    const std::size_t listed = listedCount(node);
    for (std::size_t i = 0; i < listed; ++i) {
        const std::uint64_t neighbor = node.neighbors[i];
        if (!firstVisit(scratch, neighbor)) continue;
        const std::uint32_t position = positionOf(layer, neighbor);
        prefetchCode(layer.codes[position]);
        fresh.nodes[fresh.count] = neighbor;
        fresh.positions[fresh.count] = position;
        ++fresh.count;
    }
}

void evaluateFresh(const HammingKernels& hamming, const Layer& layer, const RoutingCode& query,
                   FreshNeighbors& fresh) {
    hamming.distances(query, layer.codes.data, fresh.positions, fresh.count, fresh.distances);
}

// Keeps a neighbour when there is room or when it beats the worst result;
// a kept neighbour is also queued for expansion.
void offerNeighbor(const Candidate& candidate, std::size_t breadth, FartherHeap& results,
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

}  // namespace

std::uint64_t greedyDescend(const Layer& layer, const RoutingCode& query, std::uint64_t entry) {
    const HammingKernels& hamming = hammingKernels();
    std::uint64_t current = entry;
    std::uint32_t best = hamming.distance(query, layer.codes[positionOf(layer, entry)]);
    std::uint32_t positions[kDegree];
    std::uint32_t distances[kDegree];
    while (true) {
        const Node& node = recordOf(layer, current);
        const std::size_t listed = listedCount(node);
        if (listed == 0) return current;
        for (std::size_t i = 0; i < listed; ++i) positions[i] = positionOf(layer, node.neighbors[i]);
        hamming.distances(query, layer.codes.data, positions, listed, distances);
        bool moved = false;
        for (std::size_t i = 0; i < listed; ++i) {
            if (distances[i] < best) {
                best = distances[i];
                current = node.neighbors[i];
                moved = true;
            }
        }
        if (!moved) return current;
    }
}

void beginLayerWalk(LayerWalk& walk, const Layer& layer, const RoutingCode& query,
                    std::uint64_t entry, std::size_t breadth, TraversalScratch& scratch) {
    clearVisited(scratch);
    walk.frontier = CloserHeap{scratch.candidate_buffer, scratch.candidate_slots};
    walk.results = FartherHeap{scratch.result_buffer, breadth};
    walk.breadth = breadth;
    walk.scratch = &scratch;
    walk.hamming = &hammingKernels();
    walk.fresh.count = 0;
    walk.fresh_pending = false;
    walk.guess_next = true;
    walk.done = !scratchCovers(scratch, breadth) || !firstVisit(scratch, entry);
    if (walk.done) return;
    const Candidate start{entry, walk.hamming->distance(query, layer.codes[positionOf(layer, entry)])};
    walk.frontier.push(start);
    walk.results.push(start);
}

bool stepLayerWalk(LayerWalk& walk, const Layer& layer, const RoutingCode& query) {
    if (walk.done) return false;
    if (walk.fresh_pending) {
        evaluateFresh(*walk.hamming, layer, query, walk.fresh);
        for (std::size_t i = 0; i < walk.fresh.count; ++i)
            offerNeighbor({walk.fresh.nodes[i], walk.fresh.distances[i]}, walk.breadth, walk.results,
                          walk.frontier);
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
    collectFresh(layer, recordOf(layer, nearest.node), *walk.scratch, walk.fresh);
    walk.fresh_pending = true;
    return true;
}

CandidateList finishLayerWalk(LayerWalk& walk) {
    FartherHeap& results = walk.results;
    const TraversalScratch& scratch = *walk.scratch;
    if (results.len == 0) return {scratch.result_buffer, 0};
    // The frontier is done with, so its buffer (one slot per node number,
    // hence at least as many as results) serves as the sort's working room.
    sortByDistance(results.items, results.len, scratch.candidate_buffer, scratch.candidate_slots);
    return {results.items, results.len};
}

CandidateList searchLayer(const Layer& layer, const RoutingCode& query, std::uint64_t entry,
                          std::size_t breadth, TraversalScratch& scratch) {
    LayerWalk walk;
    beginLayerWalk(walk, layer, query, entry, breadth, scratch);
    while (stepLayerWalk(walk, layer, query)) {
    }
    return finishLayerWalk(walk);
}

}  // namespace korvane
