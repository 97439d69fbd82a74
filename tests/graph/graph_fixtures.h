// Graph builders shared by the graph tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "graph/insert.h"
#include "graph/layer.h"
#include "graph/records.h"
#include "support/test_support.h"

namespace korvane::testing {

inline RoutingCode randomCode(TestRng& rng) {
    RoutingCode code;
    for (auto& word : code.words) word = rng.next();
    return code;
}

inline RoutingCode withFlippedBits(RoutingCode code, std::size_t flips, TestRng& rng) {
    for (std::size_t i = 0; i < flips; ++i) {
        const std::size_t bit = rng.next() % kRoutingBits;
        code.words[bit / 64] ^= std::uint64_t{1} << (bit % 64);
    }
    return code;
}

// A code with exactly the bits [first, first + count) set.
inline RoutingCode codeWithBits(std::size_t first, std::size_t count) {
    RoutingCode code{};
    for (std::size_t bit = first; bit < first + count; ++bit)
        code.words[bit / 64] |= std::uint64_t{1} << (bit % 64);
    return code;
}

inline std::uint32_t referenceDistance(const RoutingCode& a, const RoutingCode& b) {
    std::uint32_t total = 0;
    for (std::size_t w = 0; w < kRoutingWords; ++w) total += __builtin_popcountll(a.words[w] ^ b.words[w]);
    return total;
}

// Levels with P(level >= l + 1 | level >= l) = 1 / spread, capped at 31.
inline std::uint64_t drawLevel(TestRng& rng, std::uint64_t spread) {
    std::uint64_t level = 0;
    while (level < kTopLevel && rng.next() % spread == 0) ++level;
    return level;
}

inline Node nodeRecord(std::uint64_t n) {
    Node node{};
    node.node = static_cast<std::uint32_t>(n);
    return node;
}

// Owns a graph for the duration of a test.
struct GraphHolder {
    RoutingGraph graph;
    explicit GraphHolder(std::uint64_t ef_construction = 32) { initGraph(graph, ef_construction); }
    ~GraphHolder() { deinit(graph); }
    GraphHolder(const GraphHolder&) = delete;
    GraphHolder& operator=(const GraphHolder&) = delete;
};

// Inserts codes[0..] in order with levels drawn from `rng`; false on failure.
inline bool insertAll(RoutingGraph& graph, const std::vector<RoutingCode>& codes, TestRng& rng,
                      std::uint64_t spread) {
    for (std::size_t i = 0; i < codes.size(); ++i)
        if (insertWithLevel(graph, i, codes[i], drawLevel(rng, spread)) != Error::Ok) return false;
    return true;
}

// Snapshot of everything insertion may change, compared byte for byte.
struct GraphImage {
    std::vector<std::vector<unsigned char>> nodes, codes;
    std::vector<std::vector<std::pair<std::uint64_t, std::uint32_t>>> positions;
    std::vector<bool> dense;
    std::uint64_t entry_point, node_count;

    explicit GraphImage(const RoutingGraph& g) : entry_point(g.entry_point), node_count(g.node_count) {
        for (const Layer& layer : g.layers) {
            const auto* n = reinterpret_cast<const unsigned char*>(layer.nodes.data);
            const auto* c = reinterpret_cast<const unsigned char*>(layer.codes.data);
            nodes.emplace_back(n, n + layer.nodes.len * sizeof(Node));
            codes.emplace_back(c, c + layer.codes.len * sizeof(RoutingCode));
            positions.emplace_back();
            layer.positions.forEach([&](std::uint64_t k, std::uint32_t v) { positions.back().push_back({k, v}); });
            std::sort(positions.back().begin(), positions.back().end());
            dense.push_back(layer.dense);
        }
    }
    bool operator==(const GraphImage&) const = default;
};

}  // namespace korvane::testing
