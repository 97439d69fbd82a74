#include "graph/records.h"

namespace korvane {

void initGraph(RoutingGraph& graph, std::uint64_t ef_construction) {
    graph = RoutingGraph{};
    graph.ef_construction = ef_construction < kMinEfConstruction ? kMinEfConstruction : ef_construction;
}

void deinit(TraversalScratch& scratch) {
    scratch.visited.deinit();
    releaseArray(scratch.dirty_words);
    releaseArray(scratch.candidate_buffer);
    releaseArray(scratch.result_buffer);
    scratch = TraversalScratch{};
}

void deinit(RoutingGraph& graph) {
    for (Layer& layer : graph.layers) {
        layer.nodes.deinit();
        layer.codes.deinit();
        layer.positions.deinit();
    }
    graph.layers.deinit();
    deinit(graph.scratch);
}

}  // namespace korvane
