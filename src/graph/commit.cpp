#include "graph/commit.h"

#include <chrono>

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
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = chunk.linking_back_seconds ? Clock::now() : Clock::time_point{};
    if (crew) {
        runOnCrew(*crew, linkBackRunPart, &run);
    } else {
        linkBackRunPart(&run, 0);
    }
    if (chunk.linking_back_seconds)
        *chunk.linking_back_seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t plannedRunEnd(const PlannedChunk& chunk, std::size_t from) {
    while (from < chunk.count && chunk.plans[from].layers > 0) ++from;
    return from;
}

}  // namespace

bool stageBaseGrowth(const RoutingGraph& graph, std::size_t nodes, BaseGrowth& growth) {
    growth = BaseGrowth{};
    if (graph.layers.len == 0) return true;
    const Layer& base = graph.layers[0];
    const std::size_t nodes_cap = base.nodes.capacityAfter(nodes), codes_cap = base.codes.capacityAfter(nodes);
    if (nodes_cap > base.nodes.cap) {
        if (!(growth.nodes = base.nodes.grownCopy(nodes_cap))) return false;
        growth.nodes_cap = nodes_cap;
    }
    if (codes_cap > base.codes.cap) {
        if (!(growth.codes = base.codes.grownCopy(codes_cap))) {
            releaseArray(growth.nodes);
            growth = BaseGrowth{};
            return false;
        }
        growth.codes_cap = codes_cap;
    }
    return true;
}

void adoptBaseGrowth(RoutingGraph& graph, BaseGrowth& growth) {
    if (growth.nodes) graph.layers[0].nodes.adopt(growth.nodes, growth.nodes_cap);
    if (growth.codes) graph.layers[0].codes.adopt(growth.codes, growth.codes_cap);
    growth = BaseGrowth{};
}

bool reserveChunkRoom(RoutingGraph& graph, const std::uint64_t* levels, std::size_t count) {
    std::size_t joining[kTopLevel + 1] = {};
    for (std::size_t j = 0; j < count; ++j)
        for (std::size_t l = 0; l <= levels[j] && l < graph.layers.len; ++l) ++joining[l];
    for (std::size_t l = 0; l < graph.layers.len && l <= kTopLevel; ++l)
        if (joining[l] > 0 && !reserveNodeSlots(graph.layers[l], joining[l])) return false;
    return true;
}

std::size_t itemsThatFit(const RoutingGraph& graph, const std::uint64_t* levels, std::size_t count) {
    std::size_t joined[kTopLevel + 1] = {};
    for (std::size_t j = 0; j < count; ++j) {
        for (std::size_t l = 0; l <= levels[j] && l < graph.layers.len; ++l)
            if (joined[l] == freeNodeSlots(graph.layers[l])) return j;
        for (std::size_t l = 0; l <= levels[j] && l < graph.layers.len; ++l) ++joined[l];
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
