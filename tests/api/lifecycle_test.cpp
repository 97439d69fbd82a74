#include <gtest/gtest.h>

#include <cstring>

#include "api/handles.h"
#include "korvane.h"
#include "support/test_support.h"

namespace korvane {
namespace {

TEST(Lifecycle, NewIndexReportsItsShape) {
    korvane_index* index = korvane_index_create(0, 42);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(korvane_index_len(index), 0u);
    EXPECT_EQ(korvane_index_memory_bytes(index), 1317320u);
    EXPECT_EQ(korvane_dim(), 256u);
    EXPECT_EQ(korvane_routing_bits(), 1024u);
    const Index* raw = fromHandle(index);
    EXPECT_EQ(raw->raw_mode, RawMode::I8);
    EXPECT_FALSE(raw->calibrated);
    EXPECT_EQ(raw->graph.layers.len, 0u);
    EXPECT_EQ(raw->graph.node_count, 0u);
    EXPECT_EQ(std::memcmp(&raw->graph.level_rng, &kInitialLevelRng, sizeof(Xoshiro256)), 0);
    korvane_index_destroy(index);
    korvane_index_destroy(nullptr);
}

TEST(Lifecycle, EfConstructionIsRaisedToTheMinimum) {
    for (auto [asked, stored] : {std::pair<uint64_t, uint64_t>{0, 32}, {31, 32}, {33, 33}, {1000, 1000}}) {
        korvane_index* index = korvane_index_create(asked, 1);
        ASSERT_NE(index, nullptr);
        EXPECT_EQ(fromHandle(index)->graph.ef_construction, stored) << asked;
        korvane_index_destroy(index);
    }
}

TEST(Lifecycle, SameSeedSameMatricesOtherSeedDiffers) {
    korvane_index* a = korvane_index_create(64, 7);
    korvane_index* b = korvane_index_create(64, 7);
    korvane_index* c = korvane_index_create(64, 8);
    const Index *ia = fromHandle(a), *ib = fromHandle(b), *ic = fromHandle(c);
    EXPECT_EQ(std::memcmp(ia->rotation, ib->rotation, 65536 * 4), 0);
    EXPECT_EQ(std::memcmp(ia->projection, ib->projection, 262144 * 4), 0);
    EXPECT_NE(std::memcmp(ia->rotation, ic->rotation, 65536 * 4), 0);
    EXPECT_NE(std::memcmp(ia->projection, ic->projection, 262144 * 4), 0);
    korvane_index_destroy(a);
    korvane_index_destroy(b);
    korvane_index_destroy(c);
}

TEST(Lifecycle, EveryFailedAllocationOfCreateGivesNullAndLeaksNothing) {
    const auto before = allocationStats().outstanding;
    const std::uint64_t points = testing::sweepAllocationFailures([&](std::uint64_t) {
        korvane_index* index = korvane_index_create(64, 3);
        const bool ok = index != nullptr;
        korvane_index_destroy(index);
        EXPECT_EQ(allocationStats().outstanding, before);
        return ok;
    });
    // record, rotation, two scratches, projection, projection scratch, reduced projection
    EXPECT_EQ(points, 7u);
}

TEST(Lifecycle, CreateWithStoreKeepsTheChosenStoreAndRefusesOthers) {
    korvane_index* plain = korvane_index_create(64, 3);
    EXPECT_EQ(korvane_index_raw_store(plain), KORVANE_STORE_I8);
    const auto before = allocationStats().outstanding;
    for (std::uint32_t store : {KORVANE_STORE_NONE, KORVANE_STORE_F32, KORVANE_STORE_I8}) {
        const std::uint64_t points = testing::sweepAllocationFailures([&](std::uint64_t) {
            korvane_index* index = korvane_index_create_with_store(64, 3, store);
            if (index) {
                EXPECT_EQ(korvane_index_raw_store(index), store);
                EXPECT_EQ(korvane_index_memory_bytes(index), 1317320u);
                // Only the store differs from the default creation.
                EXPECT_EQ(std::memcmp(fromHandle(index)->projection, fromHandle(plain)->projection, 262144 * 4), 0);
            }
            korvane_index_destroy(index);
            EXPECT_EQ(allocationStats().outstanding, before);
            return index != nullptr;
        });
        EXPECT_EQ(points, 7u) << store;  // as for korvane_index_create
    }
    for (std::uint32_t unknown : {3u, 255u, 0xffffffffu}) {
        armAllocationFailure(1);  // an unknown store must not even try to allocate
        EXPECT_EQ(korvane_index_create_with_store(64, 3, unknown), nullptr);
        EXPECT_EQ(allocationStats().attempts, 0u);
        disarmAllocationFailure();
    }
    korvane_index_destroy(plain);
}

}  // namespace
}  // namespace korvane
