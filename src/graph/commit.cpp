#include "graph/commit.h"

#include "graph/layer.h"

namespace korvane {
namespace {

struct PlannedRun {
    RoutingGraph* graph;
    std::uint64_t first;
    const InsertionPlan* plans;
    std::size_t count;
    std::size_t parts;
};

void linkBackRunPart(void* context, std::size_t part) {
    const PlannedRun& run = *static_cast<const PlannedRun*>(context);
    for (std::size_t j = 0; j < run.count; ++j)
        linkBackPart(*run.graph, run.first + j, run.plans[j].links, run.plans[j].layers, part, run.parts);
}

// Commits items [from, to), all planned.
void commitRun(RoutingGraph& graph, const PlannedChunk& chunk, std::size_t from, std::size_t to, Crew* crew) {
    for (std::size_t j = from; j < to; ++j)
        addLinkedNode(graph, chunk.first + j, chunk.codes[j], chunk.plans[j].links, chunk.plans[j].layers);
    graph.node_count += to - from;
    PlannedRun run{&graph, chunk.first + from, chunk.plans + from, to - from, crew ? crew->size : 1};
    if (crew) {
        runOnCrew(*crew, linkBackRunPart, &run);
    } else {
        linkBackRunPart(&run, 0);
    }
}

std::size_t plannedRunEnd(const PlannedChunk& chunk, std::size_t from) {
    while (from < chunk.count && chunk.plans[from].layers > 0) ++from;
    return from;
}

}  // namespace

std::size_t reserveChunkRoom(RoutingGraph& graph, const std::uint64_t* levels, std::size_t count) {
    std::size_t pending[kTopLevel + 1] = {};  // room already secured per layer
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t layers = levels[j] < graph.layers.len ? levels[j] + 1 : graph.layers.len;
        for (std::size_t l = 0; l < layers; ++l)
            if (!reserveNodeSlots(graph.layers[l], pending[l] + 1)) return j;
        for (std::size_t l = 0; l < layers; ++l) ++pending[l];
    }
    return count;
}

std::size_t commitChunk(RoutingGraph& graph, const PlannedChunk& chunk, Crew* crew) {
    for (std::size_t j = 0; j < chunk.count;) {
        const std::size_t end = plannedRunEnd(chunk, j);
        if (end > j) {
            commitRun(graph, chunk, j, end, crew);
            j = end;
            continue;
        }
        if (insertWithLevel(graph, chunk.first + j, chunk.codes[j], chunk.levels[j]) != Error::Ok) return j;
        ++j;
    }
    return chunk.count;
}

}  // namespace korvane
