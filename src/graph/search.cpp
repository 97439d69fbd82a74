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

// The neighbour list and its count, the part of a record that expansion reads.
void prefetchList(const Node& node) {
    const char* first = reinterpret_cast<const char*>(&node.neighbors);
    const char* last = reinterpret_cast<const char*>(&node.neighbor_count);
    for (const char* line = first; line < last; line += 64) __builtin_prefetch(line);
    __builtin_prefetch(last);
}

// Neighbours of one expanded node that this traversal has not seen yet,
// in list order, with their distances.
struct FreshNeighbors {
    std::uint64_t nodes[kDegree];
    std::uint32_t positions[kDegree];
    std::uint32_t distances[kDegree];
    std::size_t count;
};

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

CandidateList searchLayer(const Layer& layer, const RoutingCode& query, std::uint64_t entry,
                          std::size_t breadth, TraversalScratch& scratch) {
    clearVisited(scratch);
    if (!scratchCovers(scratch, breadth) || !firstVisit(scratch, entry))
        return {scratch.result_buffer, 0};
    CloserHeap frontier{scratch.candidate_buffer, scratch.candidate_slots};
    FartherHeap results{scratch.result_buffer, breadth};

    const HammingKernels& hamming = hammingKernels();
    const Candidate start{entry, hamming.distance(query, layer.codes[positionOf(layer, entry)])};
    frontier.push(start);
    results.push(start);

    FreshNeighbors fresh;
    Candidate nearest;
    while (frontier.pop(&nearest)) {
        if (results.len == breadth && nearest.distance > results.root().distance) break;
        // Usually the next node to expand, unless a neighbour of this one
        // turns out closer.
        if (frontier.len > 0) prefetchList(recordOf(layer, frontier.root().node));
        collectFresh(layer, recordOf(layer, nearest.node), scratch, fresh);
        evaluateFresh(hamming, layer, query, fresh);
        for (std::size_t i = 0; i < fresh.count; ++i)
            offerNeighbor({fresh.nodes[i], fresh.distances[i]}, breadth, results, frontier);
    }

    // The frontier is done with, so its buffer (one slot per node number,
    // hence at least as many as results) serves as the sort's working room.
    sortByDistance(results.items, results.len, scratch.candidate_buffer, scratch.candidate_slots);
    return {results.items, results.len};
}

}  // namespace korvane
