#include "graph/invariants.h"

#include <cstring>

#include "graph/layer.h"

namespace korvane {
namespace {

bool onLayer(const Layer& layer, std::uint64_t node, std::uint64_t n) {
    return layer.dense ? node < n : layer.positions.contains(node);
}

bool layerConsistent(const RoutingGraph& graph, std::size_t l, std::uint64_t n) {
    const Layer& layer = graph.layers[l];
    if (layer.codes.len != layer.nodes.len || layer.dense != (l == 0)) return false;
    if (l == 0 && layer.nodes.len != n) return false;
    if (l > 0 && layer.positions.count != layer.nodes.len) return false;
    for (std::size_t i = 0; i < layer.nodes.len; ++i) {
        const Node& node = layer.nodes[i];
        if (node.id >= n || node.neighbor_count > kDegree) return false;
        if (l == 0 ? node.id != i : positionOf(layer, node.id) != i || !layer.positions.contains(node.id))
            return false;
        if (l > 0 && !onLayer(graph.layers[l - 1], node.id, n)) return false;
        if (std::memcmp(&layer.codes[i], &node.code, sizeof(RoutingCode)) != 0) return false;
        for (std::uint32_t j = 0; j < node.neighbor_count; ++j)
            if (!onLayer(layer, node.neighbors[j], n)) return false;
    }
    return true;
}

}  // namespace

bool checkGraphInvariants(const RoutingGraph& graph, std::uint64_t n) {
    if (graph.node_count != n) return false;
    if (n > 0 && graph.layers.len == 0) return false;
    for (std::size_t l = 0; l < graph.layers.len; ++l)
        if (!layerConsistent(graph, l, n)) return false;
    return n == 0 || onLayer(graph.layers[graph.layers.len - 1], graph.entry_point, n);
}

}  // namespace korvane
