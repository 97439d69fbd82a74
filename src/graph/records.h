// Records of the routing graph and of its traversals.
#pragma once

#include <cstdint>

#include "common/bitset.h"
#include "common/hash_map.h"
#include "common/random.h"
#include "common/routing_code.h"
#include "common/shape.h"
#include "common/vec.h"

namespace korvane {

// Node numbers are held in 32 bits in memory (files keep 64), so a graph
// holds at most this many nodes; positions on a layer are 32-bit as well.
constexpr std::uint64_t kMaxNodes = 0xffffffffULL;

// One node's record on one layer: what an expansion reads, the count and
// the list, comes first and fills 132 of its 136 bytes. The node's routing
// code lives only in the layer's dense code array.
struct Node {
    std::uint32_t neighbor_count;
    std::uint32_t neighbors[kDegree];
    std::uint32_t node;  // its node number
};
static_assert(sizeof(Node) == 136);

struct Layer {
    Vec<Node> nodes;
    Vec<RoutingCode> codes;  // codes[i] is the code of nodes[i]
    U64Map<std::uint32_t> positions;  // node number -> position, upper layers only
    bool dense = false;               // layer 0: position == node number
};

struct Candidate {
    std::uint64_t node;  // node number
    std::uint32_t distance;
};

struct TraversalScratch {
    BitSet visited;
    // Words of `visited` that traversals made non-zero since it was last
    // clear, so that the next traversal clears only those: a search then
    // costs the same on a large index as on a small one. A count beyond the
    // slots means the log overflowed and the whole set must be cleared.
    std::size_t* dirty_words = nullptr;
    std::size_t dirty_slots = 0;
    std::size_t dirty_count = 0;
    Candidate* candidate_buffer = nullptr;
    std::size_t candidate_slots = 0;
    Candidate* result_buffer = nullptr;
    std::size_t result_slots = 0;
};

// The fixed starting words of every graph's level generator.
constexpr Xoshiro256 kInitialLevelRng{{0x6e789e6aa1b965f4ULL, 0x06c45d188009454fULL,
                                       0xf88bb8a8724c81ecULL, 0x1b39896a51a8749bULL}};

struct RoutingGraph {
    Vec<Layer> layers;
    std::uint64_t entry_point = 0;
    std::uint64_t node_count = 0;
    std::uint64_t ef_construction = kMinEfConstruction;
    Xoshiro256 level_rng = kInitialLevelRng;
    TraversalScratch scratch;
};

// Initial state: no layers, entry point 0, no nodes, empty scratch.
void initGraph(RoutingGraph& graph, std::uint64_t ef_construction);
void deinit(RoutingGraph& graph);
void deinit(TraversalScratch& scratch);

}  // namespace korvane
