#include <gtest/gtest.h>

#include <sanitizer/asan_interface.h>

#include <cstring>

#include "graph/invariants.h"
#include "graph/layer.h"
#include "storage/format.h"
#include "storage/index_builder.h"
#include "support/test_support.h"

// Options are given as designated initializers naming only what a test changes.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace korvane {
namespace {

using testing::BuildOptions;
using testing::buildIndex;
using testing::getU64;
using testing::graphOffset;
using testing::imageOf;
using testing::load;
using testing::putU32;
using testing::putU64;
using testing::reloadImage;
using testing::tombstoneOffset;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kEmptyImageBytes = 1310774;

Bytes emptyImage() {
    Index* index = createIndex(0, 9);
    Bytes image = imageOf(*index);
    destroyIndex(index);
    return image;
}

Bytes builtImage(const BuildOptions& options) {
    Index* index = buildIndex(options);
    Bytes image = imageOf(*index);
    destroyIndex(index);
    return image;
}

Error loadError(const Bytes& image) {
    LoadedIndex loaded;
    const Error result = load(image, loaded);
    if (result == Error::Ok) deinit(loaded);
    return result;
}

// Layer sections of an image with the builder's graph shape, for edits.
std::size_t firstNodeRecord(const BuildOptions& options) {
    return graphOffset(options.nodes, options.raw_mode, options.calibrated) + 8;
}

TEST(Format, EmptyIndexImageIsHeaderMatricesAndTombstoneCount) {
    Index* index = createIndex(0, 9);
    const Bytes image = imageOf(*index);
    ASSERT_EQ(image.size(), kEmptyImageBytes);
    EXPECT_EQ(std::memcmp(image.data(), "TQX5", 4), 0);
    EXPECT_EQ(image[44], 2);  // the empty raw store is complete
    EXPECT_EQ(image[45], 0);
    EXPECT_EQ(std::memcmp(image.data() + 46, index->rotation, 262144), 0);
    EXPECT_EQ(std::memcmp(image.data() + 46 + 262144, index->projection, 1048576), 0);
    EXPECT_EQ(getU64(image, image.size() - 8), 0u);

    LoadedIndex loaded;
    ASSERT_EQ(load(image, loaded), Error::Ok);
    EXPECT_EQ(loaded.index.live_count, 0u);
    EXPECT_EQ(loaded.index.graph.layers.len, 0u);
    EXPECT_EQ(loaded.index.graph.ef_construction, 32u);
    EXPECT_EQ(std::memcmp(loaded.index.projection, index->projection, 1048576), 0);
    deinit(loaded);
    destroyIndex(index);
}

TEST(Format, LoadRestoresEveryStoredFieldAndRebuildsDerivedOnes) {
    const BuildOptions options{.nodes = 13, .raw_mode = RawMode::I8, .calibrated = true, .removed = {3, 8}};
    Index* original = buildIndex(options);
    const Bytes image = imageOf(*original);
    LoadedIndex loaded;
    ASSERT_EQ(load(image, loaded), Error::Ok);
    const Index& index = loaded.index;

    ASSERT_EQ(index.payloads.len, 13u);
    for (std::size_t k = 0; k < 13; ++k) {
        const TurboQuantPayload &a = index.payloads[k], &b = original->payloads[k];
        EXPECT_TRUE(a.id == b.id && std::memcmp(a.codes, b.codes, kCodeGroups * sizeof(std::uint32_t)) == 0 && a.sigma == b.sigma &&
                    a.mu == b.mu && a.gamma == b.gamma)
            << k;
    }
    EXPECT_EQ(std::memcmp(index.raw_i8.data, original->raw_i8.data, 13 * 256), 0);
    EXPECT_EQ(std::memcmp(index.raw_scales.data, original->raw_scales.data, 13 * 4), 0);
    EXPECT_TRUE(index.calibrated);
    EXPECT_EQ(std::memcmp(index.calibration_std.data, original->calibration_std.data, 1024), 0);
    EXPECT_EQ(index.live_count, 11u);
    EXPECT_FALSE(index.id_to_node.contains(1003));
    EXPECT_EQ(*index.id_to_node.find(1012), 12u);
    EXPECT_TRUE(isRemoved(index, 8));
    ASSERT_EQ(index.graph.layers.len, 3u);
    const Layer& upper = index.graph.layers[1];
    EXPECT_EQ(upper.nodes.len, 4u);  // nodes 0, 4, 8, 12
    EXPECT_EQ(positionOf(upper, 8), 2u);
    EXPECT_EQ(std::memcmp(&upper.codes[3], &original->graph.layers[1].codes[3], sizeof(RoutingCode)), 0);
    EXPECT_TRUE(checkGraphInvariants(index.graph, 13));
    EXPECT_EQ(std::memcmp(&index.graph.level_rng, &kInitialLevelRng, sizeof(Xoshiro256)), 0);
    EXPECT_EQ(loaded.node_metadata.len, 13u);
    deinit(loaded);
    destroyIndex(original);
}

TEST(Format, ReloadedImagesAreByteIdenticalInEveryRawMode) {
    for (RawMode mode : {RawMode::None, RawMode::F32, RawMode::I8}) {
        for (bool calibrated : {false, true}) {
            const Bytes image = builtImage({.nodes = 9, .raw_mode = mode, .calibrated = calibrated, .removed = {2}});
            EXPECT_EQ(reloadImage(image), image) << int(static_cast<std::uint8_t>(mode)) << calibrated;
        }
    }
}

TEST(Format, OnlyTheLow24BitsOfACodeGroupAreWrittenAndRestored) {
    Index* index = buildIndex({.nodes = 2});
    index->payloads[1].codes[5] = 0xff123456u;
    LoadedIndex loaded;
    ASSERT_EQ(load(imageOf(*index), loaded), Error::Ok);
    EXPECT_EQ(loaded.index.payloads[1].codes[5], 0x123456u);
    deinit(loaded);
    destroyIndex(index);
}

TEST(Format, MetadataStringsRoundTripAndTrailingBytesAreIgnored) {
    Index* index = buildIndex({.nodes = 3});
    const std::uint8_t text[] = "abc";
    const ByteView metadata[3] = {{text, 3}, {nullptr, 0}, {text + 1, 2}};
    Vec<std::uint8_t> image;
    ASSERT_EQ(serialize(*index, metadata, image), Error::Ok);
    Bytes bytes(image.data, image.data + image.len);
    image.deinit();
    bytes.push_back(0x77);
    LoadedIndex loaded;
    ASSERT_EQ(load(bytes, loaded), Error::Ok);
    ASSERT_EQ(loaded.node_metadata.len, 3u);
    EXPECT_EQ(std::memcmp(loaded.node_metadata[0].data, "abc", 3), 0);
    EXPECT_EQ(loaded.node_metadata[1].len, 0u);
    EXPECT_EQ(std::memcmp(loaded.node_metadata[2].data, "bc", 2), 0);
    EXPECT_EQ(loaded.metadata_bytes.len, 5u);
    deinit(loaded);
    destroyIndex(index);
}

TEST(Format, AnIncompleteRawStoreIsWrittenAsNoStore) {
    Index* index = buildIndex({.nodes = 4, .raw_mode = RawMode::F32});
    index->raw_f32.truncate(3 * 256);
    const Bytes image = imageOf(*index);
    EXPECT_EQ(image[44], 0);
    EXPECT_EQ(image.size(), builtImage({.nodes = 4, .raw_mode = RawMode::None}).size());
    LoadedIndex loaded;
    ASSERT_EQ(load(image, loaded), Error::Ok);
    EXPECT_EQ(loaded.index.raw_mode, RawMode::None);
    EXPECT_EQ(loaded.index.raw_f32.len, 0u);
    deinit(loaded);
    destroyIndex(index);
}

// The bytes past the cut are poisoned, so the address sanitizer sees any read
// beyond it. Inside the matrix block every cut meets the same single check.
TEST(Format, EveryTruncationIsCorrupt) {
    const BuildOptions options{.nodes = 6, .raw_mode = RawMode::I8, .calibrated = true, .removed = {1}};
    const Bytes image = builtImage(options);
    const std::size_t matrices_begin = 46 + 2048;
    const std::size_t matrices_end = matrices_begin + 1310720;
    auto check = [&](std::size_t len) {
        ASAN_POISON_MEMORY_REGION(image.data() + len, image.size() - len);
        LoadedIndex loaded;
        const Error result = deserialize(image.data(), len, loaded);
        ASAN_UNPOISON_MEMORY_REGION(image.data() + len, image.size() - len);
        EXPECT_EQ(result, Error::CorruptFile) << "length " << len;
    };
    for (std::size_t len = 0; len < matrices_begin + 8; ++len) check(len);
    for (std::size_t len = matrices_begin + 8; len < matrices_end - 8; len += 4099) check(len);
    for (std::size_t len = matrices_end - 8; len < image.size(); ++len) check(len);
}

TEST(Format, HeaderChecksGiveTheirErrorKinds) {
    const Bytes image = emptyImage();
    const auto prefix = [&](std::size_t len) { return Bytes(image.begin(), image.begin() + std::ptrdiff_t(len)); };
    for (std::size_t len = 0; len < 4; ++len) EXPECT_EQ(loadError(prefix(len)), Error::CorruptFile) << len;
    EXPECT_EQ(loadError({'T', 'Q', 'X', '4'}), Error::BadMagic);
    EXPECT_EQ(loadError(prefix(4)), Error::CorruptFile);
    Bytes short_dim = prefix(8);
    putU32(short_dim, 4, 255);
    EXPECT_EQ(loadError(short_dim), Error::DimensionMismatch);

    const auto edited = [&](std::size_t at, std::uint32_t value) {
        Bytes copy = image;
        putU32(copy, at, value);
        return loadError(copy);
    };
    EXPECT_EQ(edited(0, 0x35585155), Error::BadMagic);
    EXPECT_EQ(edited(8, 31), Error::DegreeMismatch);
    EXPECT_EQ(edited(12, 1023), Error::RoutingBitsMismatch);
    Bytes raw_mode_3 = image;
    raw_mode_3[44] = 3;
    EXPECT_EQ(loadError(raw_mode_3), Error::CorruptFile);
    Bytes huge_n = image;
    putU64(huge_n, 16, (image.size() - 45) / 8 + 1);
    EXPECT_EQ(loadError(huge_n), Error::CorruptFile);
}

TEST(Format, HeaderValuesAreNormalisedOrKept) {
    Bytes image = emptyImage();
    putU64(image, 24, 0);      // ef_construction
    putU64(image, 32, 12345);  // entry point of an empty graph
    LoadedIndex loaded;
    ASSERT_EQ(load(image, loaded), Error::Ok);
    EXPECT_EQ(loaded.index.graph.ef_construction, 32u);
    EXPECT_EQ(loaded.index.graph.entry_point, 12345u);
    deinit(loaded);

    putU64(image, 24, 1000);
    ASSERT_EQ(load(image, loaded), Error::Ok);
    EXPECT_EQ(loaded.index.graph.ef_construction, 1000u);
    deinit(loaded);

    Bytes calibrated = builtImage({.nodes = 2, .calibrated = true});
    calibrated[45] = 7;
    ASSERT_EQ(load(calibrated, loaded), Error::Ok);
    EXPECT_TRUE(loaded.index.calibrated);
    EXPECT_EQ(imageOf(loaded.index)[45], 1);
    deinit(loaded);
}

TEST(Format, EmptyGraphMayDeclareEmptyLayers) {
    Bytes image = emptyImage();
    putU32(image, 40, 2);
    image.insert(image.end() - 8, 16, 0);
    LoadedIndex loaded;
    ASSERT_EQ(load(image, loaded), Error::Ok);
    ASSERT_EQ(loaded.index.graph.layers.len, 2u);
    EXPECT_TRUE(loaded.index.graph.layers[0].dense);
    EXPECT_FALSE(loaded.index.graph.layers[1].dense);
    EXPECT_EQ(imageOf(loaded.index), image);
    deinit(loaded);
}

// Levels run from 0 to 31, so no saved graph has more than 32 layers; each
// further one would cost memory at load and a node on every later addition.
TEST(Format, MoreThan32LayersAreCorrupt) {
    for (const std::uint32_t layers : {32u, 33u}) {
        Bytes image = emptyImage();
        putU32(image, 40, layers);
        image.insert(image.end() - 8, 8 * layers, 0);
        LoadedIndex loaded;
        const Error result = load(image, loaded);
        EXPECT_EQ(result, layers == 32 ? Error::Ok : Error::CorruptFile) << layers;
        if (result == Error::Ok) deinit(loaded);
    }
}

TEST(Format, OutOfRangeNumbersInTheBodyAreCorrupt) {
    const BuildOptions options{.nodes = 5, .removed = {1}};
    const Bytes image = builtImage(options);
    const std::size_t record = firstNodeRecord(options);
    const auto edited = [&](auto edit) {
        Bytes copy = image;
        edit(copy);
        return loadError(copy);
    };
    EXPECT_EQ(edited([&](Bytes& b) { putU64(b, 32, 5); }), Error::CorruptFile);           // entry point == n
    EXPECT_EQ(edited([&](Bytes& b) { putU32(b, record + 136, 33); }), Error::CorruptFile);  // neighbor count
    EXPECT_EQ(edited([&](Bytes& b) { putU64(b, record, 5); }), Error::CorruptFile);         // node number == n
    const std::size_t second = record + 140;  // node 0 has no neighbours on layer 0
    EXPECT_EQ(edited([&](Bytes& b) { putU64(b, second + 140, 5); }), Error::CorruptFile);   // neighbour == n
    const std::size_t t_at = tombstoneOffset(image, 5, 1);
    EXPECT_EQ(edited([&](Bytes& b) { putU64(b, t_at + 8, 5); }), Error::CorruptFile);       // removed node == n
    EXPECT_EQ(edited([&](Bytes& b) { putU64(b, t_at, 6); }), Error::CorruptFile);           // t > n
    const std::size_t m_at = record - 8;
    const std::size_t after_m = image.size() - record;
    EXPECT_EQ(edited([&](Bytes& b) { putU64(b, m_at, after_m / 140 + 1); }), Error::CorruptFile);
}

TEST(Format, RepeatedTombstonesLoadOnceAndAreWrittenOnce) {
    const Bytes once = builtImage({.nodes = 4, .removed = {2}});
    Bytes twice = once;
    const std::size_t t_at = tombstoneOffset(once, 4, 1);
    putU64(twice, t_at, 2);
    twice.insert(twice.begin() + std::ptrdiff_t(t_at + 8), 8, 0);
    putU64(twice, t_at + 8, 2);
    LoadedIndex loaded;
    ASSERT_EQ(load(twice, loaded), Error::Ok);
    EXPECT_EQ(loaded.index.live_count, 3u);
    EXPECT_EQ(imageOf(loaded.index), once);
    deinit(loaded);
}

TEST(Format, EveryNodeRemovedLoadsWithNoLiveId) {
    LoadedIndex loaded;
    ASSERT_EQ(load(builtImage({.nodes = 3, .removed = {0, 1, 2}}), loaded), Error::Ok);
    EXPECT_EQ(loaded.index.live_count, 0u);
    EXPECT_EQ(loaded.index.id_to_node.count, 0u);
    EXPECT_EQ(loaded.index.graph.node_count, 3u);
    deinit(loaded);
}

TEST(Format, RepeatedLiveIdKeepsOnlyTheLatestNodeLive) {
    Index* index = buildIndex({.nodes = 6, .removed = {4}});
    index->payloads[1].id = 1005;
    index->payloads[4].id = 1005;  // removed: does not count
    LoadedIndex loaded;
    ASSERT_EQ(load(imageOf(*index), loaded), Error::Ok);
    EXPECT_EQ(*loaded.index.id_to_node.find(1005), 5u);
    EXPECT_TRUE(isRemoved(loaded.index, 1));
    EXPECT_FALSE(isRemoved(loaded.index, 5));
    EXPECT_EQ(loaded.index.live_count, loaded.index.id_to_node.count);
    EXPECT_EQ(loaded.index.live_count, 4u);
    deinit(loaded);
    destroyIndex(index);
}

// Graphs that pass the field checks but are not consistent are refused.
TEST(Format, InconsistentGraphsAreCorrupt) {
    const auto graphEdit = [](auto edit) {
        Index* index = buildIndex({.nodes = 9});
        edit(index->graph);
        const Error result = loadError(imageOf(*index));
        destroyIndex(index);
        return result;
    };
    EXPECT_EQ(graphEdit([](RoutingGraph& g) { std::swap(g.layers[0].nodes[2].node, g.layers[0].nodes[3].node); }),
              Error::CorruptFile);
    EXPECT_EQ(graphEdit([](RoutingGraph& g) {  // node 5 is missing from layer 1
                  g.layers[2].nodes[0].node = 5;
                  g.entry_point = 5;
              }),
              Error::CorruptFile);
    EXPECT_EQ(graphEdit([](RoutingGraph& g) { g.layers[1].nodes[2].node = 0; }), Error::CorruptFile);  // listed twice
    EXPECT_EQ(graphEdit([](RoutingGraph& g) { g.layers[1].nodes[1].neighbors[0] = 5; }),
              Error::CorruptFile);  // 5 is not on layer 1
    EXPECT_EQ(graphEdit([](RoutingGraph& g) { g.entry_point = 4; }), Error::CorruptFile);  // not on the top layer

    Bytes no_layers = builtImage({.nodes = 1, .raw_mode = RawMode::None});
    const std::size_t layers_at = graphOffset(1, RawMode::None, false);
    putU32(no_layers, 40, 0);
    no_layers.erase(no_layers.begin() + std::ptrdiff_t(layers_at), no_layers.end() - 10);
    EXPECT_EQ(loadError(no_layers), Error::CorruptFile);
}

TEST(Format, EveryFailedAllocationOfALoadLeaksNothing) {
    const Bytes image = builtImage({.nodes = 9, .raw_mode = RawMode::I8, .calibrated = true, .removed = {4}});
    const auto before = allocationStats().outstanding;
    const std::uint64_t points = testing::sweepAllocationFailures([&](std::uint64_t) {
        LoadedIndex loaded;
        const Error result = load(image, loaded);
        if (result == Error::Ok) deinit(loaded);
        EXPECT_TRUE(result == Error::Ok || result == Error::OutOfMemory) << int(result);
        EXPECT_EQ(allocationStats().outstanding, before);
        return result == Error::Ok;
    });
    EXPECT_GE(points, 15u);
}

TEST(Format, AFailedSerializeLeavesTheOutputEmpty) {
    Index* index = buildIndex({.nodes = 3});
    const auto before = allocationStats().outstanding;
    armAllocationFailure(1);
    Vec<std::uint8_t> image;
    EXPECT_EQ(serialize(*index, nullptr, image), Error::OutOfMemory);
    disarmAllocationFailure();
    EXPECT_EQ(image.data, nullptr);
    EXPECT_EQ(allocationStats().outstanding, before);
    destroyIndex(index);
}

}  // namespace
}  // namespace korvane
