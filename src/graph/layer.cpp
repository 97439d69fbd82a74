#include "graph/layer.h"

namespace korvane {

bool reserveNodeSlots(Layer& layer, std::size_t extra) {
    if (!layer.nodes.reserve(layer.nodes.capacityAfter(extra)) || !layer.codes.reserve(layer.codes.capacityAfter(extra)))
        return false;
    return layer.dense || layer.positions.reserve(layer.positions.count + extra);
}

std::size_t freeNodeSlots(const Layer& layer) {
    std::size_t free = layer.nodes.cap - layer.nodes.len;
    if (layer.codes.cap - layer.codes.len < free) free = layer.codes.cap - layer.codes.len;
    if (!layer.dense && layer.positions.spare() < free) free = layer.positions.spare();
    return free;
}

bool addNode(Layer& layer, Node node, RoutingCode code) {
    if (!reserveNodeSlot(layer)) return false;
    const auto position = static_cast<std::uint32_t>(layer.nodes.len);
    layer.nodes.push(node);
    layer.codes.push(code);
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
