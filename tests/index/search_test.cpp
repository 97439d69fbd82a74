#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <thread>

#include "encoding/projection.h"
#include "index/query.h"
#include "index/scored_walk.h"
#include "index/search.h"
#include "index_test_support.h"

namespace korvane {
namespace {

using testing::IndexHandle;

using testing::Results;

Results searchOnce(korvane_index* index, korvane_context* context, const float* query, std::uint64_t k) {
    Results r{std::vector<std::uint64_t>(256, 0xdead), std::vector<float>(256, -1.0f)};
    const auto n = korvane_search(index, context, query, k, r.ids.data(), r.scores.data());
    r.ids.resize(n);
    r.scores.resize(n);
    return r;
}

class SearchTest : public ::testing::Test {
  protected:
    IndexHandle index{64, 11};
    std::vector<float> data = testing::clusteredVectors(2000, 20, 0.3f, 7);
    std::vector<float> queries = testing::clusteredVectors(20, 20, 0.3f, 7);
    void SetUp() override { testing::addAll(index.handle, data); }
};

TEST_F(SearchTest, ResultsAreDescendingDistinctAndExactScores) {
    korvane_context* context = korvane_context_create(index.handle, 64);
    for (std::size_t q = 0; q < 20; ++q) {
        const Results r = searchOnce(index.handle, context, queries.data() + q * 256, 10);
        ASSERT_EQ(r.ids.size(), 10u);
        EXPECT_TRUE(std::is_sorted(r.scores.rbegin(), r.scores.rend()));
        EXPECT_EQ(std::set<std::uint64_t>(r.ids.begin(), r.ids.end()).size(), r.ids.size());
        // Two-stage scores are the exact int8 scores of the returned vectors.
        float rotated[256];
        rotateVector(index.get().rotation, queries.data() + q * 256, rotated);
        for (std::size_t i = 0; i < r.ids.size(); ++i) {
            const std::uint64_t node = *index.get().id_to_node.find(r.ids[i]);
            const float exact = exactScore(index.get(), node, rotated);
            EXPECT_EQ(std::memcmp(&exact, &r.scores[i], 4), 0);
        }
        EXPECT_TRUE(searchOnce(index.handle, context, queries.data() + q * 256, 10) == r);
    }
    korvane_context_destroy(context);
}

TEST_F(SearchTest, KAndBreadthLimits) {
    korvane_context* context = korvane_context_create(index.handle, 300);
    Results r{std::vector<std::uint64_t>(256, 0xdead), std::vector<float>(256, -1.0f)};
    EXPECT_EQ(korvane_search(index.handle, context, queries.data(), 0, r.ids.data(), r.scores.data()), 0u);
    EXPECT_EQ(r.ids[0], 0xdeadu);
    EXPECT_EQ(searchOnce(index.handle, context, queries.data(), 1000).ids.size(), 256u);
    korvane_context_destroy(context);
    context = korvane_context_create(index.handle, 5);
    EXPECT_EQ(searchOnce(index.handle, context, queries.data(), 10).ids.size(), 5u);
    korvane_context_destroy(context);
    EXPECT_EQ(korvane_context_create(index.handle, 0), nullptr);
    korvane_context_destroy(nullptr);
}

TEST_F(SearchTest, RemovedVectorsAreSkippedButTakeCandidatePlaces) {
    korvane_context* context = korvane_context_create(index.handle, 10);
    const Results before = searchOnce(index.handle, context, queries.data(), 10);
    ASSERT_EQ(before.ids.size(), 10u);
    // The traversal does not depend on removals, so the same 10 candidates come back.
    for (std::size_t i = 0; i < 8; ++i) ASSERT_EQ(korvane_index_remove(index.handle, before.ids[i]), 0);
    const Results after = searchOnce(index.handle, context, queries.data(), 10);
    EXPECT_LE(after.ids.size(), 2u);
    for (auto id : after.ids) EXPECT_TRUE(id == before.ids[8] || id == before.ids[9]);
    korvane_context_destroy(context);
}

TEST_F(SearchTest, EmptyAndFullyRemovedIndexesGiveNothing) {
    IndexHandle empty;
    korvane_context* context = korvane_context_create(empty.handle, 16);
    EXPECT_TRUE(searchOnce(empty.handle, context, queries.data(), 10).ids.empty());
    ASSERT_EQ(korvane_index_add(empty.handle, 1, data.data()), 0);
    ASSERT_EQ(korvane_index_remove(empty.handle, 1), 0);
    EXPECT_TRUE(searchOnce(empty.handle, context, queries.data(), 10).ids.empty());
    korvane_context_destroy(context);
}

TEST_F(SearchTest, AContextFromASmallerIndexIsGrownAndMatchesAFreshOne) {
    IndexHandle growing(64, 11);
    korvane_context* early = korvane_context_create(growing.handle, 64);
    testing::addAll(growing.handle, data);
    korvane_context* fresh = korvane_context_create(growing.handle, 64);
    for (std::size_t q = 0; q < 5; ++q)
        EXPECT_TRUE(searchOnce(growing.handle, early, queries.data() + q * 256, 10) ==
                    searchOnce(growing.handle, fresh, queries.data() + q * 256, 10));
    korvane_context_destroy(early);
    korvane_context_destroy(fresh);
}

TEST_F(SearchTest, GrowingAContextFailsCleanly) {
    const auto baseline = allocationStats().outstanding;
    IndexHandle growing(64, 11);
    korvane_context* early = korvane_context_create(growing.handle, 64);
    testing::addAll(growing.handle, data);
    const auto before = testing::snapshotOf(growing.get());
    const auto points = testing::sweepAllocationFailures([&](std::uint64_t) {
        return !searchOnce(growing.handle, early, queries.data(), 10).ids.empty();
    });
    EXPECT_GE(points, 1u);
    EXPECT_TRUE(testing::snapshotOf(growing.get()) == before);
    EXPECT_EQ(searchOnce(growing.handle, early, queries.data(), 10).ids.size(), 10u);
    korvane_context_destroy(early);
    korvane_index_destroy(growing.handle);
    growing.handle = nullptr;
    EXPECT_EQ(allocationStats().outstanding, baseline);
}

TEST_F(SearchTest, ContextCreationFailsCleanly) {
    const auto outstanding = allocationStats().outstanding;
    const auto points = testing::sweepAllocationFailures([&](std::uint64_t) {
        korvane_context* context = korvane_context_create(index.handle, 64);
        const bool ok = context != nullptr;
        korvane_context_destroy(context);
        EXPECT_EQ(allocationStats().outstanding, outstanding);
        return ok;
    });
    EXPECT_GE(points, 6u);
}

TEST_F(SearchTest, ConcurrentSearchesMatchSequentialOnes) {
    std::vector<Results> expected(20);
    korvane_context* context = korvane_context_create(index.handle, 64);
    for (std::size_t q = 0; q < 20; ++q) expected[q] = searchOnce(index.handle, context, queries.data() + q * 256, 10);
    korvane_context_destroy(context);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            korvane_context* own = korvane_context_create(index.handle, 64);
            for (int round = 0; round < 3; ++round)
                for (std::size_t q = 0; q < 20; ++q)
                    mismatches[t] += !(searchOnce(index.handle, own, queries.data() + q * 256, 10) == expected[q]);
            korvane_context_destroy(own);
        });
    for (auto& thread : threads) thread.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

// The scored walk orders by keys: larger scores must get smaller keys, each
// number its own, every NaN the last; a key gives its score back.
TEST(ScoreKeys, OrderLikeScoresAndGiveThemBack) {
    const float inf = std::numeric_limits<float>::infinity();
    const float ascending[] = {-inf, -3.4e38f, -1.0f, -1e-45f, -0.0f, 0.0f, 1e-45f, 2.0f, 3.4e38f, inf};
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i)
        EXPECT_GT(scoreKey(ascending[i]), scoreKey(ascending[i + 1])) << ascending[i];
    for (const float score : ascending) {
        const float back = keyScore(scoreKey(score));
        EXPECT_EQ(std::memcmp(&back, &score, sizeof score), 0) << score;
    }
    for (const float nan : {std::nanf(""), -std::nanf("")}) {
        EXPECT_EQ(scoreKey(nan), 0xffffffffu);
        EXPECT_GT(scoreKey(nan), scoreKey(-inf));
        EXPECT_TRUE(std::isnan(keyScore(scoreKey(nan))));
    }
}

}  // namespace
}  // namespace korvane
