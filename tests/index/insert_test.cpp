#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "encoding/projection.h"
#include "index/insert.h"
#include "index_test_support.h"

namespace korvane {
namespace {

using testing::IndexHandle;

TEST(Insert, DuplicateIdIsRefusedWithoutChange) {
    IndexHandle index;
    const auto v = testing::randomVectors(2, 1);
    ASSERT_EQ(korvane_index_add(index.handle, 9, v.data()), 0);
    const auto memory = korvane_index_memory_bytes(index.handle);
    const auto before = testing::snapshotOf(index.get());
    EXPECT_EQ(korvane_index_add(index.handle, 9, v.data() + 256), -2);
    EXPECT_EQ(korvane_index_len(index.handle), 1u);
    EXPECT_EQ(korvane_index_memory_bytes(index.handle), memory);
    EXPECT_TRUE(testing::snapshotOf(index.get()) == before);
}

TEST(Insert, RemoveThenReAddGetsANewNodeNumber) {
    IndexHandle index;
    EXPECT_EQ(korvane_index_remove(index.handle, 5), -1);  // empty index
    const auto v = testing::randomVectors(3, 2);
    testing::addAll(index.handle, v);
    const auto memory = korvane_index_memory_bytes(index.handle);
    EXPECT_EQ(korvane_index_remove(index.handle, 1), 0);
    EXPECT_EQ(korvane_index_remove(index.handle, 1), -1);
    EXPECT_EQ(korvane_index_len(index.handle), 2u);
    EXPECT_GE(korvane_index_memory_bytes(index.handle), memory);
    EXPECT_TRUE(isRemoved(index.get(), 1));
    EXPECT_EQ(korvane_index_add(index.handle, 1, v.data() + 256), 0);
    EXPECT_EQ(korvane_index_len(index.handle), 3u);
    EXPECT_EQ(*index.get().id_to_node.find(1), 3u);
    EXPECT_FALSE(isRemoved(index.get(), 3));
    EXPECT_TRUE(testing::consistent(index.get()));
}

TEST(Insert, ZeroVectorHasNoRoutingBitsAndAZeroInt8Copy) {
    IndexHandle index;
    const std::vector<float> zero(256, 0.0f);
    ASSERT_EQ(korvane_index_add(index.handle, 1, zero.data()), 0);
    const Index& raw = index.get();
    EXPECT_EQ(raw.raw_scales[0], 1e-20f / 127.0f);
    for (std::size_t j = 0; j < 256; ++j) EXPECT_EQ(raw.raw_i8[j], 0);
    for (auto word : raw.graph.layers[0].codes[0].words) EXPECT_EQ(word, 0u);
}

TEST(Insert, SameSeedAndInputsGiveTheSameGraph) {
    IndexHandle a(64, 5), b(64, 5);
    const auto v = testing::randomVectors(300, 3);
    testing::addAll(a.handle, v);
    testing::addAll(b.handle, v);
    EXPECT_TRUE(testing::snapshotOf(a.get()) == testing::snapshotOf(b.get()));
    EXPECT_TRUE(testing::consistent(a.get()));
}

TEST(Insert, AHugeConstructionBreadthBuildsWhatAnyBreadthAboveTheSizeBuilds) {
    // A breadth beyond the node count cannot change a search, so it must not
    // make additions fail by asking for a scratch of that size either.
    IndexHandle huge(std::uint64_t{1} << 40, 5), enough(400, 5);
    const auto v = testing::randomVectors(300, 8);
    const std::vector<std::uint64_t> ids = [] { std::vector<std::uint64_t> i(300); for (int k = 0; k < 300; ++k) i[k] = k; return i; }();
    ASSERT_EQ(korvane_index_add_batch(huge.handle, ids.data(), v.data(), 150, 2), 0);
    ASSERT_EQ(korvane_index_add_batch(enough.handle, ids.data(), v.data(), 150, 2), 0);
    for (std::size_t i = 150; i < 300; ++i) {
        ASSERT_EQ(korvane_index_add(huge.handle, i, v.data() + i * 256), 0);
        ASSERT_EQ(korvane_index_add(enough.handle, i, v.data() + i * 256), 0);
    }
    EXPECT_TRUE(testing::snapshotOf(huge.get()) == testing::snapshotOf(enough.get()));
}

TEST(Insert, EveryFailedAllocationLeavesTheIndexAsItWas) {
    const auto baseline = allocationStats().outstanding;
    std::uint64_t points = 0;
    {
        IndexHandle index(32, 9);
        const auto v = testing::randomVectors(120, 4);
        // Sweep every add into a growing index, so that each container's growth is hit.
        for (std::size_t i = 0; i < 120; ++i) {
            const auto before = testing::snapshotOf(index.get());
            points += testing::sweepAllocationFailures([&](std::uint64_t) {
                const int status = korvane_index_add(index.handle, i, v.data() + i * 256);
                if (status == 0) return true;
                EXPECT_EQ(status, -1);
                EXPECT_TRUE(testing::snapshotOf(index.get()) == before);
                return false;
            });
        }
        EXPECT_EQ(korvane_index_len(index.handle), 120u);
        EXPECT_TRUE(testing::consistent(index.get()));
    }
    std::printf("add: %llu failure points in all\n", static_cast<unsigned long long>(points));
    EXPECT_GT(points, 20u);
    EXPECT_EQ(allocationStats().outstanding, baseline);  // nothing leaked
}

TEST(Insert, FailedRemovalChangesNothing) {
    IndexHandle index;
    const auto v = testing::randomVectors(100, 6);
    testing::addAll(index.handle, v);
    armAllocationFailure(1);
    EXPECT_EQ(korvane_index_remove(index.handle, 70), -1);
    disarmAllocationFailure();
    EXPECT_EQ(korvane_index_len(index.handle), 100u);
    EXPECT_TRUE(index.get().id_to_node.contains(70));
    EXPECT_EQ(korvane_index_remove(index.handle, 70), 0);
}

}  // namespace
}  // namespace korvane
