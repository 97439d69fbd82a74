#include "storage/index_builder.h"

#include <algorithm>
#include <cstring>

#include "graph/layer.h"
#include "support/test_support.h"

namespace korvane::testing {
namespace {

std::uint64_t levelOf(std::uint64_t k) { return k == 0 ? 2 : k % 4 == 0 ? 1 : 0; }

TurboQuantPayload randomPayload(std::uint64_t id, TestRng& rng) {
    TurboQuantPayload payload{};
    payload.id = id;
    for (std::size_t g = 0; g < kCodeGroups; ++g) payload.codes[g] = std::uint32_t(rng.next() & 0xffffff);
    payload.sigma = rng.uniform(0.5f, 2.0f);
    payload.mu = rng.uniform(-0.1f, 0.1f);
    payload.gamma = rng.uniform(0.9f, 1.1f);
    return payload;
}

void addRawCopy(Index& index, TestRng& rng) {
    for (std::size_t i = 0; i < kDim; ++i) {
        if (index.raw_mode == RawMode::F32) index.raw_f32.push(rng.normal());
        if (index.raw_mode == RawMode::I8) index.raw_i8.push(std::int8_t(int(rng.next() % 255) - 127));
    }
    if (index.raw_mode == RawMode::I8) index.raw_scales.push(rng.uniform(0.01f, 0.05f));
}

// Links a node on a layer to up to three of the layer's latest members.
void linkToLatest(const Layer& layer, Node& node) {
    std::memset(node.neighbors, 0, sizeof node.neighbors);
    node.neighbor_count = 0;
    const std::size_t members = layer.nodes.len;
    for (std::size_t i = 0; i < members && i < 3; ++i)
        node.neighbors[node.neighbor_count++] = layer.nodes[members - 1 - i].node;
}

}  // namespace

Index* buildIndex(const BuildOptions& options) {
    Index* index = createIndex(40, options.seed);
    TestRng rng(options.seed);
    index->raw_mode = options.raw_mode;
    if (options.calibrated) {
        for (std::size_t i = 0; i < kDim; ++i) {
            index->calibration_mean.push(rng.uniform(-0.05f, 0.05f));
            index->calibration_std.push(rng.uniform(0.5f, 1.5f));
        }
        index->calibrated = true;
    }
    for (std::uint64_t k = 0; k < options.nodes; ++k) {
        index->payloads.push(randomPayload(1000 + k, rng));
        addRawCopy(*index, rng);
        ensureLayerCount(index->graph, std::max<std::size_t>(index->graph.layers.len, levelOf(k) + 1));
        Node node{};
        node.node = static_cast<std::uint32_t>(k);
        RoutingCode code;
        for (std::uint64_t& word : code.words) word = rng.next();
        for (std::uint64_t l = 0; l <= levelOf(k); ++l) {
            linkToLatest(index->graph.layers[l], node);
            addNode(index->graph.layers[l], node, code);
        }
        index->id_to_node.put(1000 + k, k);
    }
    index->graph.node_count = options.nodes;
    index->graph.entry_point = 0;
    for (std::uint64_t node : options.removed) {
        index->tombstones.grow(options.nodes);
        index->tombstones.set(node);
        index->id_to_node.erase(1000 + node);
    }
    index->live_count = index->id_to_node.count;
    return index;
}

std::vector<std::uint8_t> imageOf(const Index& index) {
    Vec<std::uint8_t> image;
    if (serialize(index, nullptr, image) != Error::Ok) return {};
    std::vector<std::uint8_t> copy(image.data, image.data + image.len);
    image.deinit();
    return copy;
}

Error load(const std::vector<std::uint8_t>& image, LoadedIndex& out) {
    return deserialize(image.data(), image.size(), out);
}

std::vector<std::uint8_t> reloadImage(const std::vector<std::uint8_t>& image) {
    LoadedIndex loaded;
    if (load(image, loaded) != Error::Ok) return {};
    std::vector<std::uint8_t> again = imageOf(loaded.index);
    deinit(loaded);
    return again;
}

std::size_t graphOffset(std::uint64_t n, RawMode raw_mode, bool calibrated) {
    const std::size_t raw = raw_mode == RawMode::F32 ? 1024 : raw_mode == RawMode::I8 ? 260 : 0;
    return 46 + (calibrated ? 2048 : 0) + 1310720 + n * (116 + raw);
}

std::size_t tombstoneOffset(const std::vector<std::uint8_t>& image, std::uint64_t n, std::uint64_t t) {
    return image.size() - 2 * n - 8 * t - 8;
}

void putU64(std::vector<std::uint8_t>& image, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) image[at + i] = std::uint8_t(value >> (8 * i));
}

void putU32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = std::uint8_t(value >> (8 * i));
}

std::uint64_t getU64(const std::vector<std::uint8_t>& image, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= std::uint64_t(image[at + i]) << (8 * i);
    return value;
}

}  // namespace korvane::testing
