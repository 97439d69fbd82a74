// Shared helpers of the index tests.
#pragma once

#include <cstring>
#include <vector>

#include "api/handles.h"
#include "graph/invariants.h"
#include "index/index.h"
#include "korvane.h"
#include "support/test_support.h"

namespace korvane::testing {

struct IndexHandle {
    korvane_index* handle;
    explicit IndexHandle(std::uint64_t ef_construction = 64, std::uint64_t seed = 42)
        : handle(korvane_index_create(ef_construction, seed)) {}
    IndexHandle(std::uint64_t ef_construction, std::uint64_t seed, std::uint32_t store)
        : handle(korvane_index_create_with_store(ef_construction, seed, store)) {}
    ~IndexHandle() { korvane_index_destroy(handle); }
    Index& get() { return *fromHandle(handle); }
};

inline void addAll(korvane_index* index, const std::vector<float>& vectors, std::uint64_t first_id = 0) {
    for (std::size_t i = 0; i < vectors.size() / 256; ++i)
        korvane_index_add(index, first_id + i, vectors.data() + i * 256);
}

// Ids and scores of one search, compared bit for bit.
struct Results {
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
    bool operator==(const Results& o) const {
        return ids == o.ids && scores.size() == o.scores.size() &&
               (scores.empty() || std::memcmp(scores.data(), o.scores.data(), scores.size() * sizeof(float)) == 0);
    }
};

// Everything of an index's content that a failed change must leave alone.
struct IndexSnapshot {
    std::size_t payloads, raw_i8, raw_scales, raw_f32, map_count, live;
    std::uint64_t node_count, entry_point;
    std::vector<std::vector<unsigned char>> layers;
    bool operator==(const IndexSnapshot&) const = default;
};

inline IndexSnapshot snapshotOf(const Index& index) {
    IndexSnapshot s{index.payloads.len, index.raw_i8.len, index.raw_scales.len, index.raw_f32.len,
                    index.id_to_node.count, index.live_count, index.graph.node_count,
                    index.graph.entry_point, {}};
    for (const Layer& layer : index.graph.layers) {
        std::vector<unsigned char> bytes;
        auto put = [&](const void* p, std::size_t n) {
            const auto* b = static_cast<const unsigned char*>(p);
            bytes.insert(bytes.end(), b, b + n);
        };
        for (std::size_t i = 0; i < layer.nodes.len; ++i) {
            const Node& node = layer.nodes[i];
            put(&node.node, sizeof node.node);
            put(&layer.codes[i], sizeof(RoutingCode));
            put(&node.neighbor_count, sizeof node.neighbor_count);
            put(node.neighbors, sizeof node.neighbors[0] * node.neighbor_count);
        }
        s.layers.push_back(std::move(bytes));
    }
    return s;
}

// Same length and bytes; an empty array may have no storage at all.
template <class T>
bool sameItems(const Vec<T>& a, const Vec<T>& b) {
    return a.len == b.len && (a.len == 0 || std::memcmp(a.data, b.data, a.len * sizeof(T)) == 0);
}

inline bool sameItems(const PayloadStore& a, const PayloadStore& b) {
    return a.len == b.len && a.stride == b.stride && (a.len == 0 || std::memcmp(a.data, b.data, a.len * a.stride) == 0);
}

// The raw stores hold exactly one copy per node in the index's mode and nothing in the others.
inline bool rawStoresMatch(const Index& index) {
    const std::size_t n = index.payloads.len;
    const std::size_t f32 = index.raw_mode == RawMode::F32 ? n : 0, i8 = index.raw_mode == RawMode::I8 ? n : 0;
    return index.raw_f32.len == 256 * f32 && index.raw_i8.len == 256 * i8 && index.raw_scales.len == i8;
}

inline bool consistent(const Index& index) {
    return checkGraphInvariants(index.graph, index.payloads.len) && index.live_count == index.id_to_node.count &&
           index.graph.node_count == index.payloads.len && rawStoresMatch(index);
}

}  // namespace korvane::testing
