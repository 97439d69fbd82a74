// Traversals of one layer by Hamming distance. Distances of a node's
// neighbours are computed in one batch after their codes have been
// prefetched, which changes no result: the heap decisions are still taken one
// neighbour at a time in list order.
#include "graph/search.h"

#include "graph/candidate_sort.h"
#include "graph/hamming.h"
#include "graph/heap.h"
#include "graph/layer.h"
#include "graph/visited.h"
#include "graph/walk.h"

namespace korvane {
namespace {

// Hamming distance between the query's routing code and a node's.
struct HammingMeasure {
    const HammingKernels& hamming;
    const Layer& layer;
    const RoutingCode& query;

    void ask(std::uint64_t, std::uint32_t position) const {
        const char* bytes = reinterpret_cast<const char*>(&layer.codes[position]);
        __builtin_prefetch(bytes);
        __builtin_prefetch(bytes + 64);
    }
    std::uint32_t one(std::uint64_t, std::uint32_t position) const {
        return hamming.distance(query, layer.codes[position]);
    }
    void many(const std::uint64_t*, const std::uint32_t* positions, std::size_t count,
              std::uint32_t* distances) const {
        hamming.distances(query, layer.codes.data, positions, count, distances);
    }
};

}  // namespace

std::uint64_t greedyDescend(const Layer& layer, const RoutingCode& query, std::uint64_t entry) {
    return descendMeasured(layer, HammingMeasure{hammingKernels(), layer, query}, entry);
}

void beginLayerWalk(LayerWalk& walk, const Layer& layer, const RoutingCode& query,
                    std::uint64_t entry, std::size_t breadth, TraversalScratch& scratch) {
    walk.hamming = &hammingKernels();
    beginMeasuredWalk(walk, layer, HammingMeasure{*walk.hamming, layer, query}, entry, breadth, scratch);
}

bool stepLayerWalk(LayerWalk& walk, const Layer& layer, const RoutingCode& query) {
    return stepMeasuredWalk(walk, layer, HammingMeasure{*walk.hamming, layer, query});
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
