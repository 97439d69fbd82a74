// Consistency check of a graph that may come from an untrusted file: every
// index is bounds-checked before it is used, so any container contents are
// safe to examine. Each layer is checked on its own first, then against the
// layer below, which makes membership transitive down to layer 0.
#include "graph/invariants.h"

namespace korvane {
namespace {

// Position of `node` on the layer when it is there, or -1.
std::int64_t findOnLayer(const Layer& layer, std::uint64_t node) {
    if (layer.dense) {
        if (node >= layer.nodes.len) return -1;
        return layer.nodes[node].node == node ? static_cast<std::int64_t>(node) : -1;
    }
    const std::uint32_t* found = layer.positions.find(node);
    if (!found || *found >= layer.nodes.len || layer.nodes[*found].node != node) return -1;
    return *found;
}

bool oneCodePerRecord(const Layer& layer) { return layer.codes.len == layer.nodes.len; }

// Layer 0 lists 0..n-1 at their own positions and keeps no map.
bool baseLayerDense(const Layer& layer, std::uint64_t n) {
    if (!layer.dense || layer.nodes.len != n || layer.positions.count != 0) return false;
    for (std::size_t i = 0; i < layer.nodes.len; ++i)
        if (layer.nodes[i].node != i) return false;
    return true;
}

// The map holds exactly the layer's node numbers at their positions; with
// as many entries as records, no number can appear twice.
bool upperLayerIndexed(const Layer& layer) {
    if (layer.dense || layer.positions.count != layer.nodes.len) return false;
    for (std::size_t i = 0; i < layer.nodes.len; ++i)
        if (findOnLayer(layer, layer.nodes[i].node) != static_cast<std::int64_t>(i)) return false;
    return true;
}

bool containedIn(const Layer& upper, const Layer& lower) {
    for (const Node& node : upper.nodes)
        if (findOnLayer(lower, node.node) < 0) return false;
    return true;
}

bool neighborsOnLayer(const Layer& layer) {
    for (const Node& node : layer.nodes) {
        if (node.neighbor_count > kDegree) return false;
        for (std::uint32_t i = 0; i < node.neighbor_count; ++i)
            if (findOnLayer(layer, node.neighbors[i]) < 0) return false;
    }
    return true;
}

bool layerConsistent(const RoutingGraph& graph, std::size_t level, std::uint64_t n) {
    const Layer& layer = graph.layers[level];
    const bool indexed = level == 0 ? baseLayerDense(layer, n) : upperLayerIndexed(layer);
    if (!indexed || !oneCodePerRecord(layer)) return false;
    if (level > 0 && !containedIn(layer, graph.layers[level - 1])) return false;
    return neighborsOnLayer(layer);
}

}  // namespace

bool checkGraphInvariants(const RoutingGraph& graph, std::uint64_t n) {
    if (graph.node_count != n) return false;
    if (n > 0 && graph.layers.len == 0) return false;
    for (std::size_t level = 0; level < graph.layers.len; ++level)
        if (!layerConsistent(graph, level, n)) return false;
    if (n == 0) return true;
    return findOnLayer(graph.layers[graph.layers.len - 1], graph.entry_point) >= 0;
}

}  // namespace korvane
