#pragma once

#include <cstdint>

#include "graph/records.h"

namespace korvane {

// True when the graph is consistent for `n` nodes: layer 0 holds 0..n-1 in
// order, every node of layer l is on each layer below exactly once, every
// neighbour is on its own layer and below n, counts are at most 32, codes
// match the node records and positions, and (when n > 0) the entry point is
// on the top layer. Used by tests and by the loader.
bool checkGraphInvariants(const RoutingGraph& graph, std::uint64_t n);

}  // namespace korvane
