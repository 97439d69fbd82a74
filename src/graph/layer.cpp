#include "graph/layer.h"

namespace korvane {

bool reserveNodeSlot(Layer& layer) {
    if (!layer.nodes.reserveMore(1) || !layer.codes.reserveMore(1)) return false;
    return layer.dense || layer.positions.reserve(layer.positions.count + 1);
}

bool addNode(Layer& layer, const Node& node) {
    if (!reserveNodeSlot(layer)) return false;
    const auto position = static_cast<std::uint32_t>(layer.nodes.len);
    layer.nodes.push(node);
    layer.codes.push(node.code);
    if (!layer.dense) layer.positions.put(node.node, position);
    return true;
}

bool ensureLayerCount(RoutingGraph& graph, std::size_t count) {
    while (graph.layers.len < count) {
        Layer layer{};
        layer.dense = graph.layers.len == 0;
        if (!graph.layers.push(layer)) return false;
    }
    return true;
}

}  // namespace korvane
