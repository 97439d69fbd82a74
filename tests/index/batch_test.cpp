#include <gtest/gtest.h>

#include "common/threads.h"
#include "index/batch.h"
#include "index_test_support.h"

namespace korvane {
namespace {

using testing::IndexHandle;

std::vector<std::uint64_t> sequentialIds(std::size_t n, std::uint64_t first = 100) {
    std::vector<std::uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = first + 3 * i;
    return ids;
}

bool sameContent(const Index& a, const Index& b) {
    return testing::snapshotOf(a) == testing::snapshotOf(b) &&
           testing::sameItems(a.payloads, b.payloads) && testing::sameItems(a.raw_i8, b.raw_i8) &&
           testing::sameItems(a.raw_f32, b.raw_f32) && testing::sameItems(a.raw_scales, b.raw_scales);
}

TEST(Batch, ChunksDoubleWithTheGraphUpToTheCap) {
    std::vector<std::uint64_t> chunks;
    std::uint64_t nodes = 0, left = 5;
    while (left) {
        chunks.push_back(batchChunkSize(nodes, left));
        nodes += chunks.back();
        left -= chunks.back();
    }
    EXPECT_EQ(chunks, (std::vector<std::uint64_t>{1, 1, 2, 1}));
    EXPECT_EQ(batchChunkSize(5000, 9000), 1024u);
}

TEST(Batch, EveryThreadCountBuildsTheSameIndex) {
    const auto data = testing::clusteredVectors(1500, 15, 0.3f, 3);
    const auto ids = sequentialIds(1500);
    IndexHandle reference(64, 4);
    ASSERT_EQ(korvane_index_add_batch(reference.handle, ids.data(), data.data(), 1500, 0), 0);
    EXPECT_EQ(korvane_index_len(reference.handle), 1500u);
    EXPECT_TRUE(testing::consistent(reference.get()));
    for (std::size_t i = 0; i < 1500; ++i) EXPECT_EQ(*reference.get().id_to_node.find(ids[i]), i);
    for (std::uint64_t threads : {1, 2, 3, 8}) {
        IndexHandle other(64, 4);
        ASSERT_EQ(korvane_index_add_batch(other.handle, ids.data(), data.data(), 1500, threads), 0);
        EXPECT_TRUE(sameContent(reference.get(), other.get())) << threads << " threads";
    }
}

TEST(Batch, LevelsAndPayloadsMatchOneByOneInsertion) {
    const auto data = testing::randomVectors(700, 5);
    const auto ids = sequentialIds(700);
    IndexHandle batch(32, 6), single(32, 6);
    ASSERT_EQ(korvane_index_add_batch(batch.handle, ids.data(), data.data(), 700, 2), 0);
    for (std::size_t i = 0; i < 700; ++i) ASSERT_EQ(korvane_index_add(single.handle, ids[i], data.data() + i * 256), 0);
    const Index &b = batch.get(), &s = single.get();
    ASSERT_EQ(b.graph.layers.len, s.graph.layers.len);
    for (std::size_t l = 0; l < b.graph.layers.len; ++l) {
        ASSERT_EQ(b.graph.layers[l].nodes.len, s.graph.layers[l].nodes.len);
        for (std::size_t i = 0; i < b.graph.layers[l].nodes.len; ++i)
            EXPECT_TRUE(b.graph.layers[l].positions.contains(s.graph.layers[l].nodes[i].node) || l == 0);
    }
    EXPECT_EQ(std::memcmp(b.payloads.data, s.payloads.data, 700 * b.payloads.stride), 0);
    EXPECT_EQ(std::memcmp(b.raw_i8.data, s.raw_i8.data, 700 * 256), 0);
    EXPECT_EQ(std::memcmp(&b.graph.level_rng, &s.graph.level_rng, sizeof(Xoshiro256)), 0);
}

TEST(Batch, DuplicatesAndEmptyBatchesChangeNothing) {
    IndexHandle index;
    const auto data = testing::randomVectors(4, 7);
    EXPECT_EQ(korvane_index_add_batch(index.handle, nullptr, nullptr, 0, 4), 0);
    EXPECT_EQ(korvane_index_len(index.handle), 0u);
    const std::uint64_t repeated[] = {1, 2, 1};
    EXPECT_EQ(korvane_index_add_batch(index.handle, repeated, data.data(), 3, 2), -2);
    EXPECT_EQ(korvane_index_len(index.handle), 0u);
    ASSERT_EQ(korvane_index_add(index.handle, 7, data.data()), 0);
    const auto before = testing::snapshotOf(index.get());
    const std::uint64_t present[] = {5, 7};
    EXPECT_EQ(korvane_index_add_batch(index.handle, present, data.data(), 2, 2), -2);
    EXPECT_TRUE(testing::snapshotOf(index.get()) == before);
}

TEST(Batch, AThreadThatCannotStartCommitsNothingOfItsChunk) {
    const auto data = testing::randomVectors(40, 8);
    const auto ids = sequentialIds(40);
    const auto baseline = allocationStats().outstanding;
    {
        IndexHandle index;
        armThreadFailure(2);  // the first two-item chunk starts one worker, then fails
        EXPECT_EQ(korvane_index_add_batch(index.handle, ids.data(), data.data(), 40, 2), -1);
        disarmThreadFailure();
        EXPECT_EQ(korvane_index_len(index.handle), 2u);  // the two one-item chunks
        EXPECT_TRUE(testing::consistent(index.get()));
    }
    EXPECT_EQ(allocationStats().outstanding, baseline);
}

class BatchIntoStore : public ::testing::TestWithParam<std::uint32_t> {};
INSTANTIATE_TEST_SUITE_P(EveryStore, BatchIntoStore,
                         ::testing::Values(KORVANE_STORE_NONE, KORVANE_STORE_F32, KORVANE_STORE_I8));

TEST_P(BatchIntoStore, FailedAllocationsKeepCommittedItemsAndConsistency) {
    const auto data = testing::randomVectors(60, 9);
    const auto ids = sequentialIds(60);
    std::uint64_t points = 0;
    const auto baseline = allocationStats().outstanding;
    for (std::uint64_t n = 1;; ++n, ++points) {
        IndexHandle index(32, 2, GetParam());
        armAllocationFailure(n);
        const int status = korvane_index_add_batch(index.handle, ids.data(), data.data(), 60, 2);
        const auto attempts = allocationStats().attempts;
        disarmAllocationFailure();
        ASSERT_TRUE(testing::consistent(index.get()));
        const auto live = korvane_index_len(index.handle);
        for (std::uint64_t i = 0; i < live; ++i) EXPECT_EQ(*index.get().id_to_node.find(ids[i]), i);
        if (attempts < n) {
            EXPECT_EQ(status, 0);
            break;
        }
        EXPECT_EQ(status, -1);
        // The index accepts the rest afterwards.
        EXPECT_EQ(korvane_index_add_batch(index.handle, ids.data() + live, data.data() + live * 256, 60 - live, 2), 0);
    }
    std::printf("allocation failure points driven: %llu\n", static_cast<unsigned long long>(points));
    EXPECT_GT(points, 10u);
    EXPECT_EQ(allocationStats().outstanding, baseline);  // every index above is destroyed: nothing leaked
}

}  // namespace
}  // namespace korvane
