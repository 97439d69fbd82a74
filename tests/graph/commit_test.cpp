#include <gtest/gtest.h>

#include <vector>

#include "common/crew.h"
#include "graph/commit.h"
#include "graph/heap.h"
#include "graph/invariants.h"
#include "graph_fixtures.h"

namespace korvane {
namespace {

using testing::GraphHolder;
using testing::GraphImage;
using testing::randomCode;
using testing::TestRng;

struct PlannedItems {
    std::vector<RoutingCode> codes;
    std::vector<std::uint64_t> levels;
    std::vector<InsertionPlan> plans;
    PlannedChunk chunk(std::uint64_t first, std::size_t from, std::size_t count) const {
        return {first, codes.data() + from, levels.data() + from, plans.data() + from, count};
    }
};

// Codes around a few hubs, a quarter of them exact copies, so that many
// items link back to the same nodes and equal distances decide; levels
// now and then above the top or too high to plan.
PlannedItems planItems(const RoutingGraph& graph, const std::vector<RoutingCode>& hubs, std::size_t count,
                       TestRng& rng) {
    PlannedItems items;
    TraversalScratch scratch{};
    EXPECT_TRUE(ensureCapacity(scratch, graph.node_count + 1, constructionBreadth(graph, graph.node_count)));
    for (std::size_t j = 0; j < count; ++j) {
        const RoutingCode& hub = hubs[rng.next() % hubs.size()];
        items.codes.push_back(rng.next() % 4 == 0 ? hub : testing::withFlippedBits(hub, 1 + rng.next() % 40, rng));
        items.levels.push_back(rng.next() % 50 == 0 ? 4 + rng.next() % 3 : testing::drawLevel(rng, 3));
        items.plans.emplace_back();
        planInsertion(graph, items.codes[j], items.levels[j], scratch, items.plans[j]);
    }
    deinit(scratch);
    return items;
}

// Chunks committed with their link-backs split over crews of 2, 3 and 5
// members give the graph of one-by-one commits, byte for byte, chunk after
// chunk, whatever the mix of planned items and items inserted in between.
TEST(ParallelCommit, MatchesOneByOneCommits) {
    for (std::uint64_t seed : {1, 2, 3}) {
        GraphHolder serial(40), parallel(40);
        TestRng rng(seed);
        std::vector<RoutingCode> hubs(6);
        for (auto& hub : hubs) hub = randomCode(rng);
        ASSERT_EQ(insertWithLevel(serial.graph, 0, hubs[0], 1), Error::Ok);
        ASSERT_EQ(insertWithLevel(parallel.graph, 0, hubs[0], 1), Error::Ok);
        std::size_t planned = 0, unplanned = 0;
        for (std::size_t round = 0; round < 16; ++round) {
            const std::uint64_t first = serial.graph.node_count;
            const std::size_t limit = first < 400 ? first : 400;  // a chunk never outnumbers its graph
            const PlannedItems items = planItems(serial.graph, hubs, (limit + 1) / 2 + rng.next() % (limit / 2 + 1), rng);
            const std::size_t count = items.codes.size();
            for (std::size_t j = 0; j < count; ++j) {
                ASSERT_TRUE(reserveChunkRoom(serial.graph, &items.levels[j], 1));
                ASSERT_EQ(commitChunk(serial.graph, items.chunk(first + j, j, 1), nullptr), 1u);
                (items.plans[j].layers > 0 ? planned : unplanned) += 1;
            }
            Crew crew;
            ASSERT_TRUE(initCrew(crew, std::size_t{2} + round % 3 + (round % 3) / 2));  // 2, 3, 5
            ASSERT_TRUE(startCrew(crew));
            ASSERT_TRUE(reserveChunkRoom(parallel.graph, items.levels.data(), count));
            EXPECT_EQ(commitChunk(parallel.graph, items.chunk(first, 0, count), &crew), count);
            stopCrew(crew);
            deinitCrew(crew);
            ASSERT_TRUE(GraphImage(parallel.graph) == GraphImage(serial.graph)) << "seed " << seed << " round " << round;
            // Grown for the chunk at once, to the capacities of one-by-one growth.
            for (std::size_t l = 0; l < serial.graph.layers.len; ++l) {
                EXPECT_EQ(parallel.graph.layers[l].nodes.cap, serial.graph.layers[l].nodes.cap);
                EXPECT_EQ(parallel.graph.layers[l].positions.slot_count, serial.graph.layers[l].positions.slot_count);
            }
        }
        EXPECT_TRUE(checkGraphInvariants(parallel.graph, parallel.graph.node_count));
        EXPECT_GT(planned, 1500u);
        EXPECT_GT(unplanned, 2u);
    }
}

}  // namespace
}  // namespace korvane
