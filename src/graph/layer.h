// Layer storage: positions, node records, layer creation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph/records.h"

namespace korvane {

// Position of a node in a layer; 0 for a number an upper layer does not hold.
inline std::uint32_t positionOf(const Layer& layer, std::uint64_t node) {
    if (layer.dense) return static_cast<std::uint32_t>(node);
    const std::uint32_t* found = layer.positions.find(node);
    return found ? *found : 0;
}

// Appends the record and its code (and its position on upper layers). They
// are taken by value, so they may come from the layer itself even when the
// addition moves its arrays. False on allocation failure.
bool addNode(Layer& layer, Node node, RoutingCode code);

// Makes sure `extra` more addNode calls cannot fail, growing the layer as
// that many single additions would.
bool reserveNodeSlots(Layer& layer, std::size_t extra);
// How many more addNode calls cannot fail without growth.
std::size_t freeNodeSlots(const Layer& layer);
inline bool reserveNodeSlot(Layer& layer) { return reserveNodeSlots(layer, 1); }

// Appends empty layers until there are `count`; layer 0 is dense.
bool ensureLayerCount(RoutingGraph& graph, std::size_t count);

}  // namespace korvane
