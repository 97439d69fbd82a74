#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/hash_map.h"
#include "support/test_support.h"

namespace korvane {
namespace {

// Keys built to share one slot under the unkeyed mixer must spread like any
// others: finding all of them takes a few probes each, not a run as long as
// the map (which would make n insertions cost n^2 / 2 probes).
TEST(HashMap, KeysChosenToCollideTakeLinearProbesThroughGrowthAndErasure) {
    constexpr std::size_t n = 60000;
    const std::vector<std::uint64_t> keys = testing::idsCollidingUnderFixedMix(n);
    U64Map<std::uint64_t> map;
    for (std::size_t j = 0; j < n; ++j) {
        ASSERT_EQ(mixKey(keys[j]) & 0xffffffffu, 0u);
        ASSERT_TRUE(map.put(keys[j], j));
    }
    EXPECT_EQ(map.count, n);
    EXPECT_LT(map.probesToFindAll(), 3 * n);

    for (std::size_t j = 0; j < n; j += 2) ASSERT_TRUE(map.erase(keys[j]));
    EXPECT_LT(map.probesToFindAll(), 3 * (n / 2));
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint64_t* found = map.find(keys[j]);
        ASSERT_EQ(found != nullptr, j % 2 == 1) << j;
        if (found) {
            EXPECT_EQ(*found, j);
        }
    }
    map.deinit();
}

}  // namespace
}  // namespace korvane
