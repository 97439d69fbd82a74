#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "graph/heap.h"
#include "graph/search.h"
#include "graph_fixtures.h"

namespace korvane {
namespace {

using testing::GraphHolder;
using testing::randomCode;
using testing::referenceDistance;
using testing::TestRng;

struct ScratchHolder {
    TraversalScratch scratch;
    ~ScratchHolder() { deinit(scratch); }
};

// A layer of random codes with random directed lists (duplicates included).
// Upper layers hold a shuffled subset of 0..n-1.
void fillRandomLayer(Layer& layer, std::size_t n, bool dense, TestRng& rng) {
    layer.dense = dense;
    std::vector<std::uint64_t> members(n);
    for (std::size_t i = 0; i < n; ++i) members[i] = dense ? i : i * 3 + 1;
    if (!dense) std::reverse(members.begin(), members.end());
    for (std::uint64_t id : members) {
        const RoutingCode code = randomCode(rng);
        Node node = testing::nodeRecord(id);
        node.neighbor_count = static_cast<std::uint32_t>(rng.next() % 33);
        if (rng.next() % 5 == 0) node.neighbor_count = 0;
        for (std::uint32_t i = 0; i < node.neighbor_count; ++i)
            node.neighbors[i] = static_cast<std::uint32_t>(members[rng.next() % n]);
        ASSERT_TRUE(addNode(layer, node, code));
    }
}

const Node& recordOf(const Layer& layer, std::uint64_t id) { return layer.nodes[positionOf(layer, id)]; }

std::uint32_t distanceTo(const Layer& layer, const RoutingCode& query, std::uint64_t id) {
    return referenceDistance(query, layer.codes[positionOf(layer, id)]);
}

// One-pass reading of the traversal, with std::stable_sort; the library's
// batched, prefetching version must give the same sequence.
std::vector<Candidate> referenceSearch(const Layer& layer, const RoutingCode& query,
                                       std::uint64_t entry, std::size_t breadth) {
    std::vector<Candidate> frontier_buffer(layer.nodes.len * 3 + 2), result_buffer(breadth);
    std::vector<bool> visited(layer.nodes.len * 3 + 2);
    CloserHeap frontier{frontier_buffer.data(), frontier_buffer.size()};
    FartherHeap results{result_buffer.data(), breadth};
    const Candidate start{entry, distanceTo(layer, query, entry)};
    visited[entry] = true;
    frontier.push(start);
    results.push(start);
    Candidate c;
    while (frontier.pop(&c)) {
        if (results.len == breadth && c.distance > results.root().distance) break;
        const Node& node = recordOf(layer, c.node);
        for (std::uint32_t i = 0; i < node.neighbor_count; ++i) {
            const std::uint64_t n = node.neighbors[i];
            if (visited[n]) continue;
            visited[n] = true;
            const Candidate found{n, distanceTo(layer, query, n)};
            if (results.len < breadth) {
                results.push(found);
                frontier.push(found);
            } else if (found.distance < results.root().distance) {
                Candidate worst;
                results.pop(&worst);
                results.push(found);
                frontier.push(found);
            }
        }
    }
    std::vector<Candidate> out(result_buffer.begin(), result_buffer.begin() + results.len);
    std::stable_sort(out.begin(), out.end(),
                     [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
    return out;
}

std::vector<std::uint64_t> reachableFrom(const Layer& layer, std::uint64_t entry) {
    std::vector<std::uint64_t> seen{entry}, queue{entry};
    while (!queue.empty()) {
        const Node& node = recordOf(layer, queue.back());
        queue.pop_back();
        for (std::uint32_t i = 0; i < node.neighbor_count; ++i) {
            if (std::find(seen.begin(), seen.end(), node.neighbors[i]) != seen.end()) continue;
            seen.push_back(node.neighbors[i]);
            queue.push_back(node.neighbors[i]);
        }
    }
    std::sort(seen.begin(), seen.end());
    return seen;
}

void expectSearchMatchesReference(const Layer& layer, TestRng& rng) {
    const std::size_t n = layer.nodes.len;
    ScratchHolder holder;
    ASSERT_TRUE(ensureCapacity(holder.scratch, 3 * n + 2, n + 10));
    for (int round = 0; round < 12; ++round) {
        // Growing the scratch halfway replaces the log of touched words
        // while the previous search's marks are still set.
        if (round == 6) {
            ASSERT_TRUE(ensureCapacity(holder.scratch, 40 * n, n + 10));
        }
        const RoutingCode query = randomCode(rng);
        const std::uint64_t entry = layer.nodes[rng.next() % n].node;
        const std::vector<std::uint64_t> reachable = reachableFrom(layer, entry);
        for (std::size_t breadth : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{40},
                                    n, n + 10}) {
            const std::uint64_t attempts = allocationStats().attempts;
            const CandidateList found = searchLayer(layer, query, entry, breadth, holder.scratch);
            ASSERT_EQ(allocationStats().attempts, attempts) << "searches allocate nothing";
            const std::vector<Candidate> expected = referenceSearch(layer, query, entry, breadth);
            ASSERT_EQ(found.len, std::min(breadth, reachable.size()));
            ASSERT_EQ(found.len, expected.size());
            for (std::size_t i = 0; i < found.len; ++i) {
                ASSERT_EQ(found.items[i].node, expected[i].node) << "breadth " << breadth << " at " << i;
                ASSERT_EQ(found.items[i].distance, distanceTo(layer, query, found.items[i].node));
                if (i > 0) {
                    ASSERT_LE(found.items[i - 1].distance, found.items[i].distance);
                }
            }
            if (breadth >= n) {
                // Nothing is dropped: exactly the reachable nodes, nearest first.
                std::vector<std::uint64_t> ids;
                for (std::size_t i = 0; i < found.len; ++i) ids.push_back(found.items[i].node);
                std::sort(ids.begin(), ids.end());
                ASSERT_EQ(ids, reachable);
            }
        }
    }
}

TEST(SearchLayer, MatchesOnePassTraversalOnRandomDenseAndUpperLayers) {
    TestRng rng(21);
    for (bool dense : {true, false}) {
        Layer layer{};
        fillRandomLayer(layer, 300, dense, rng);
        expectSearchMatchesReference(layer, rng);
        layer.nodes.deinit();
        layer.codes.deinit();
        layer.positions.deinit();
    }
}

TEST(SearchLayer, SingleNodeLayerAndUnusableBreadth) {
    Layer layer{};
    layer.dense = true;
    TestRng rng(2);
    const RoutingCode code = randomCode(rng), query = randomCode(rng);
    ASSERT_TRUE(addNode(layer, testing::nodeRecord(0), code));
    ScratchHolder holder;
    ASSERT_TRUE(ensureCapacity(holder.scratch, 1, 4));
    CandidateList found = searchLayer(layer, query, 0, 4, holder.scratch);
    ASSERT_EQ(found.len, 1u);
    EXPECT_EQ(found.items[0].node, 0u);
    EXPECT_EQ(found.items[0].distance, referenceDistance(code, query));
    EXPECT_EQ(greedyDescend(layer, query, 0), 0u);
    // Breadth 0 or beyond the scratch's result slots finds nothing rather
    // than writing past the buffer.
    EXPECT_EQ(searchLayer(layer, query, 0, 0, holder.scratch).len, 0u);
    EXPECT_EQ(searchLayer(layer, query, 0, 5, holder.scratch).len, 0u);
    layer.nodes.deinit();
    layer.codes.deinit();
}

TEST(GreedyDescend, MovesOnlyToStrictlyCloserNeighbours) {
    // Node 0 (distance 10) lists 1 (distance 10, a tie) and 2 (distance 6);
    // 2 lists 3 (distance 3) then 4 (distance 5); 3 lists 2 only.
    Layer layer{};
    layer.dense = true;
    const std::size_t distances[] = {10, 10, 6, 3, 5};
    const std::vector<std::vector<std::uint64_t>> lists = {{1, 2}, {}, {3, 4}, {2}, {}};
    for (std::uint64_t id = 0; id < 5; ++id) {
        Node node = testing::nodeRecord(id);
        node.neighbor_count = static_cast<std::uint32_t>(lists[id].size());
        std::copy(lists[id].begin(), lists[id].end(), node.neighbors);
        ASSERT_TRUE(addNode(layer, node, testing::codeWithBits(100 * id, distances[id])));
    }
    const RoutingCode query{};
    EXPECT_EQ(greedyDescend(layer, query, 0), 3u);
    EXPECT_EQ(greedyDescend(layer, query, 1), 1u);  // no list
    layer.nodes[0].neighbor_count = 1;  // only the tie
    EXPECT_EQ(greedyDescend(layer, query, 0), 0u);
    layer.nodes.deinit();
    layer.codes.deinit();
}

// Codes in tight clusters: the search should find the exact nearest stored
// code for nearly every query drawn from the same clusters.
TEST(SearchLayer, FindsTrueNearestOnInsertedClusteredCodes) {
    TestRng rng(99);
    constexpr std::size_t kNodes = 3000, kClusters = 60, kQueries = 200;
    std::vector<RoutingCode> centres(kClusters), codes;
    for (auto& centre : centres) centre = randomCode(rng);
    for (std::size_t i = 0; i < kNodes; ++i)
        codes.push_back(testing::withFlippedBits(centres[rng.next() % kClusters], 40, rng));
    GraphHolder holder(64);
    RoutingGraph& graph = holder.graph;
    ASSERT_TRUE(testing::insertAll(graph, codes, rng, 32));

    ScratchHolder search;
    ASSERT_TRUE(ensureCapacity(search.scratch, kNodes, 200));
    std::size_t exact = 0;
    for (std::size_t q = 0; q < kQueries; ++q) {
        const RoutingCode query = testing::withFlippedBits(centres[rng.next() % kClusters], 40, rng);
        std::uint64_t ep = graph.entry_point;
        for (std::size_t l = graph.layers.len - 1; l > 0; --l) ep = greedyDescend(graph.layers[l], query, ep);
        const CandidateList found = searchLayer(graph.layers[0], query, ep, 200, search.scratch);
        std::uint32_t best = kRoutingBits;
        for (const RoutingCode& code : codes) best = std::min(best, referenceDistance(query, code));
        ASSERT_GT(found.len, 0u);
        if (found.items[0].distance == best) ++exact;
    }
    const double rate = double(exact) / kQueries;
    std::printf("exact nearest found for %.1f%% of queries (%zu layers)\n", 100 * rate, graph.layers.len);
    EXPECT_GE(rate, 0.85);
}

}  // namespace
}  // namespace korvane
