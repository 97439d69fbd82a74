#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "graph/insert.h"
#include "graph/invariants.h"
#include "graph_fixtures.h"

namespace korvane {
namespace {

using testing::codeWithBits;
using testing::GraphHolder;
using testing::GraphImage;
using testing::nodeRecord;
using testing::randomCode;
using testing::TestRng;

std::vector<std::uint64_t> listOf(const Layer& layer, std::uint64_t id) {
    const Node& node = layer.nodes[positionOf(layer, id)];
    return {node.neighbors, node.neighbors + node.neighbor_count};
}

TEST(InsertWithLevel, FirstSecondAndAboveTopNodes) {
    GraphHolder holder;
    RoutingGraph& graph = holder.graph;
    TestRng rng(1);
    const RoutingCode a = randomCode(rng), b = randomCode(rng), c = randomCode(rng);

    ASSERT_EQ(insertWithLevel(graph, 0, a, 2), Error::Ok);
    ASSERT_EQ(graph.layers.len, 3u);
    for (const Layer& layer : graph.layers) {
        ASSERT_EQ(layer.nodes.len, 1u);
        EXPECT_EQ(layer.nodes[0].neighbor_count, 0u);
    }
    EXPECT_TRUE(graph.layers[0].dense);
    EXPECT_FALSE(graph.layers[1].dense);
    EXPECT_EQ(graph.entry_point, 0u);
    EXPECT_EQ(graph.node_count, 1u);

    ASSERT_EQ(insertWithLevel(graph, 1, b, 0), Error::Ok);
    EXPECT_EQ(listOf(graph.layers[0], 1), std::vector<std::uint64_t>{0});
    EXPECT_EQ(listOf(graph.layers[0], 0), std::vector<std::uint64_t>{1});
    EXPECT_EQ(graph.layers[1].nodes.len, 1u);
    EXPECT_EQ(graph.entry_point, 0u);

    ASSERT_EQ(insertWithLevel(graph, 2, c, 4), Error::Ok);
    ASSERT_EQ(graph.layers.len, 5u);
    EXPECT_EQ(listOf(graph.layers[2], 2), std::vector<std::uint64_t>{0});
    EXPECT_EQ(listOf(graph.layers[2], 0), std::vector<std::uint64_t>{2});
    EXPECT_EQ(listOf(graph.layers[0], 2).size(), 2u);
    for (std::size_t l = 3; l < 5; ++l) {
        ASSERT_EQ(graph.layers[l].nodes.len, 1u);
        EXPECT_EQ(graph.layers[l].nodes[0].node, 2u);
        EXPECT_EQ(graph.layers[l].nodes[0].neighbor_count, 0u);
    }
    EXPECT_EQ(graph.entry_point, 2u);
    EXPECT_EQ(graph.node_count, 3u);
    EXPECT_TRUE(checkGraphInvariants(graph, 3));
}

// Owner code all clear, so a candidate's distance is its number of set bits.
struct HandLayer {
    Layer layer{};
    HandLayer() { layer.dense = true; }
    ~HandLayer() {
        layer.nodes.deinit();
        layer.codes.deinit();
    }
    std::uint64_t add(const RoutingCode& code) {
        const std::uint64_t id = layer.nodes.len;
        EXPECT_TRUE(addNode(layer, nodeRecord(id), code));
        return id;
    }
};

TEST(SelectNeighbors, DiverseFirstThenRejectedIncludingEqualCodes) {
    HandLayer hand;
    const std::uint64_t zero = hand.add(RoutingCode{});           // the owner's own code
    const std::uint64_t zero_twin = hand.add(RoutingCode{});
    const std::uint64_t a = hand.add(codeWithBits(0, 10));        // 10 from zero: equal, kept
    const std::uint64_t twin = hand.add(codeWithBits(0, 10));     // same code as a
    const std::uint64_t near_a = hand.add(codeWithBits(0, 12));   // 2 from a
    const std::uint64_t edge = hand.add(codeWithBits(4, 16));     // 14 from a
    const std::uint64_t apart = hand.add(codeWithBits(100, 20));  // 30 from a
    const Candidate sorted[] = {{zero, 0},    {zero_twin, 0}, {a, 10},     {twin, 10},
                                {near_a, 12}, {edge, 16},     {apart, 20}};
    std::uint32_t out[kDegree];
    std::fill(std::begin(out), std::end(out), 777);
    ASSERT_EQ(selectNeighbors(hand.layer, sorted, 7, out), 7u);
    EXPECT_EQ(std::vector<std::uint64_t>(out, out + 7),
              (std::vector<std::uint64_t>{zero, a, apart, zero_twin, twin, near_a, edge}));

    EXPECT_EQ(selectNeighbors(hand.layer, sorted, 0, out), 0u);
    EXPECT_EQ(out[7], 777u);

    // A chosen node exactly as far from the candidate as the owner is does
    // not reject it.
    HandLayer tie;
    const std::uint64_t p = tie.add(codeWithBits(0, 8));
    const std::uint64_t q = tie.add(codeWithBits(4, 8));   // 8 from p, 8 from owner
    const std::uint64_t r = tie.add(codeWithBits(0, 16));  // 8 from p, 16 from owner
    const Candidate ties[] = {{p, 8}, {q, 8}, {r, 16}};
    ASSERT_EQ(selectNeighbors(tie.layer, ties, 3, out), 3u);
    EXPECT_EQ(std::vector<std::uint64_t>(out, out + 3), (std::vector<std::uint64_t>{p, q, r}));
}

// Node 0 (code all clear) with 32 neighbours in disjoint bit blocks, so every
// candidate is diverse and only the distance order decides.
TEST(LinkBack, AppendsBelowFullAndPrunesTheFarthestWhenFull) {
    // 31: farthest of all; 30: ties the two farthest and, listed last, loses.
    for (std::size_t new_bits : {std::size_t{31}, std::size_t{30}, std::size_t{3}}) {
        HandLayer hand;
        hand.add(RoutingCode{});
        std::vector<std::uint64_t> neighbours;
        for (std::size_t i = 0; i < kDegree; ++i)
            neighbours.push_back(hand.add(codeWithBits(31 * i, i < 2 ? 30 : 2 + (i * 7) % 28)));
        const std::uint64_t fresh = hand.add(codeWithBits(31 * 32, new_bits));
        for (std::size_t i = 0; i < kDegree - 1; ++i) EXPECT_EQ(linkBack(hand.layer, 0, neighbours[i]), i + 1);
        EXPECT_EQ(linkBack(hand.layer, 0, neighbours[31]), 32u);

        ASSERT_EQ(linkBack(hand.layer, 0, fresh), 32u);
        const std::vector<std::uint64_t> kept = listOf(hand.layer, 0);
        auto bitsOf = [&](std::uint64_t id) { return testing::referenceDistance(hand.layer.codes[id], RoutingCode{}); };
        EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end(),
                                   [&](std::uint64_t x, std::uint64_t y) { return bitsOf(x) < bitsOf(y); }));
        if (new_bits >= 30) {
            // Left out: the old neighbours stay (reordered).
            EXPECT_EQ(std::count(kept.begin(), kept.end(), fresh), 0);
            EXPECT_TRUE(std::is_permutation(kept.begin(), kept.end(), neighbours.begin()));
        } else {
            // Near: the farther of the two 30-bit neighbours after it in
            // order (the second one listed) is dropped.
            EXPECT_EQ(std::count(kept.begin(), kept.end(), fresh), 1);
            EXPECT_EQ(std::count(kept.begin(), kept.end(), neighbours[1]), 0);
            EXPECT_EQ(std::count(kept.begin(), kept.end(), neighbours[0]), 1);
        }
    }
}

TEST(InsertWithLevel, RandomInsertionsKeepEveryInvariant) {
    GraphHolder holder;
    RoutingGraph& graph = holder.graph;
    TestRng rng(7);
    for (std::uint64_t n = 0; n < 2500; ++n) {
        ASSERT_EQ(insertWithLevel(graph, n, randomCode(rng), testing::drawLevel(rng, 4)), Error::Ok);
        if (n % 250 == 0 || n < 40) {
            ASSERT_TRUE(checkGraphInvariants(graph, n + 1)) << n;
        }
    }
    EXPECT_TRUE(checkGraphInvariants(graph, 2500));
    EXPECT_FALSE(checkGraphInvariants(graph, 2499));
    EXPECT_GT(graph.layers.len, 4u);
    for (const Node& node : graph.layers[0].nodes) EXPECT_GT(node.neighbor_count, 0u);
}

// The lowest node number of the base range that an upper layer lacks.
std::uint64_t absentFrom(const Layer& layer) {
    std::uint64_t id = 0;
    while (layer.positions.contains(id)) ++id;
    return id;
}

// Every corruption is caught, and (under the address sanitizer) none makes
// the check read outside the containers.
TEST(GraphInvariants, CatchesBrokenGraphs) {
    using Damage = void (*)(RoutingGraph&);
    const Damage damages[] = {
        [](RoutingGraph& g) { g.node_count += 1; },
        [](RoutingGraph& g) { g.layers[0].nodes[3].node = 5; },
        [](RoutingGraph& g) { g.layers[0].nodes[3].neighbor_count = 33; },
        [](RoutingGraph& g) { g.layers[0].nodes[3].neighbors[0] = 300; },
        [](RoutingGraph& g) { g.layers[0].nodes[3].neighbors[0] = 0xffffffffu; },
        [](RoutingGraph& g) { g.layers[0].codes.len -= 1; },
        [](RoutingGraph& g) { g.layers[0].nodes.len -= 1; g.layers[0].codes.len -= 1; },
        [](RoutingGraph& g) { g.layers[0].dense = false; },
        [](RoutingGraph& g) { g.layers[1].dense = true; },
        [](RoutingGraph& g) { g.layers[1].positions.put(g.layers[1].nodes[0].node, 100000); },
        [](RoutingGraph& g) { g.layers[1].positions.put(12345, 0); },
        [](RoutingGraph& g) { g.layers[1].positions.erase(g.layers[1].nodes[1].node); },
        [](RoutingGraph& g) { addNode(g.layers[1], g.layers[1].nodes[0], g.layers[1].codes[0]); },  // twice on a layer
        [](RoutingGraph& g) {
            const std::uint64_t absent = absentFrom(g.layers[1]);
            addNode(g.layers[2], g.layers[0].nodes[absent], g.layers[0].codes[absent]);
        },
        [](RoutingGraph& g) {  // on layer 1 but not on layer 0's range
            addNode(g.layers[1], nodeRecord(400), RoutingCode{});
        },
        [](RoutingGraph& g) {  // neighbour absent from its upper layer
            g.layers[1].nodes[0].neighbor_count = 1;
            g.layers[1].nodes[0].neighbors[0] = absentFrom(g.layers[1]);
        },
        [](RoutingGraph& g) { g.entry_point = 300; },
        [](RoutingGraph& g) { g.entry_point = absentFrom(g.layers[g.layers.len - 1]); },
        [](RoutingGraph& g) { ensureLayerCount(g, g.layers.len + 1); },  // empty top layer
    };
    for (std::size_t i = 0; i < std::size(damages); ++i) {
        GraphHolder holder;
        RoutingGraph& graph = holder.graph;
        TestRng rng(17);
        std::vector<RoutingCode> codes(300);
        for (auto& code : codes) code = randomCode(rng);
        ASSERT_TRUE(testing::insertAll(graph, codes, rng, 8));
        ASSERT_GE(graph.layers.len, 3u);
        ASSERT_TRUE(checkGraphInvariants(graph, 300));
        damages[i](graph);
        EXPECT_FALSE(checkGraphInvariants(graph, 300)) << "damage " << i;
    }

    GraphHolder empty;
    EXPECT_TRUE(checkGraphInvariants(empty.graph, 0));
    empty.graph.node_count = 1;
    EXPECT_FALSE(checkGraphInvariants(empty.graph, 1));  // nodes but no layer
    empty.graph.node_count = 0;
    ASSERT_TRUE(ensureLayerCount(empty.graph, 2));
    empty.graph.entry_point = 12345;
    EXPECT_TRUE(checkGraphInvariants(empty.graph, 0));  // empty layers are fine without nodes
}

// Fails each allocation of one insertion in turn, on a freshly built graph
// each time: the graph must come back unchanged and nothing may leak.
void sweepInsertion(std::size_t existing, std::uint64_t level) {
    const auto outstanding = allocationStats().outstanding;
    bool succeeded = false;
    for (std::uint64_t failing = 1; !succeeded; ++failing) {
        ASSERT_LT(failing, 200u);
        {
            GraphHolder holder;
            RoutingGraph& graph = holder.graph;
            TestRng rng(5);
            std::vector<RoutingCode> codes(existing);
            for (auto& code : codes) code = randomCode(rng);
            ASSERT_TRUE(testing::insertAll(graph, codes, rng, 4));
            const GraphImage before(graph);
            armAllocationFailure(failing);
            const Error result = insertWithLevel(graph, existing, randomCode(rng), level);
            const std::uint64_t attempts = allocationStats().attempts;
            disarmAllocationFailure();
            if (result == Error::Ok) {
                ASSERT_LT(attempts, failing) << "an injected failure went unreported";
                ASSERT_TRUE(checkGraphInvariants(graph, existing + 1));
                succeeded = true;
            } else {
                ASSERT_EQ(result, Error::OutOfMemory);
                ASSERT_TRUE(GraphImage(graph) == before) << "failing allocation " << failing;
                ASSERT_TRUE(checkGraphInvariants(graph, existing));
                // The graph stays usable.
                ASSERT_EQ(insertWithLevel(graph, existing, randomCode(rng), level), Error::Ok);
                ASSERT_TRUE(checkGraphInvariants(graph, existing + 1));
            }
        }
        ASSERT_EQ(allocationStats().outstanding, outstanding);
    }
}

TEST(InsertWithLevel, FailedAllocationLeavesGraphUnchanged) {
    sweepInsertion(0, 3);    // first node, creating layers
    sweepInsertion(64, 0);   // base layer only, scratch grows
    sweepInsertion(100, 2);  // several existing layers
    sweepInsertion(100, 9);  // existing layers plus new ones above the top
}

// A level above the top one or a node number beyond 32 bits is refused
// before anything changes.
TEST(InsertWithLevel, RefusesWhatAGraphCannotHold) {
    GraphHolder holder;
    TestRng rng(8);
    std::vector<RoutingCode> codes(20);
    for (auto& code : codes) code = randomCode(rng);
    ASSERT_TRUE(testing::insertAll(holder.graph, codes, rng, 4));
    const GraphImage before(holder.graph);
    EXPECT_EQ(insertWithLevel(holder.graph, 20, randomCode(rng), kTopLevel + 1), Error::OutOfMemory);
    EXPECT_EQ(insertWithLevel(holder.graph, kMaxNodes, randomCode(rng), 0), Error::OutOfMemory);
    EXPECT_TRUE(GraphImage(holder.graph) == before);
}

TEST(InsertWithLevel, LevelsFollowTheGeometricLaw) {
    RoutingGraph graph{};
    std::size_t above_zero = 0;
    for (int i = 0; i < 64000; ++i) {
        const auto level = drawLevel(graph);
        EXPECT_LE(level, 31u);
        above_zero += level > 0;
    }
    EXPECT_NEAR(double(above_zero) / 64000.0, 1.0 / 32.0, 0.005);
}

}  // namespace
}  // namespace korvane
