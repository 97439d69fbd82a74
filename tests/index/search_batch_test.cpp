#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "common/threads.h"
#include "encoding/projection.h"
#include "index/query.h"
#include "index_test_support.h"

namespace korvane {
namespace {

using testing::IndexHandle;
using testing::Results;

class BatchSearchTest : public ::testing::Test {
  protected:
    IndexHandle index{64, 12};
    std::vector<float> data = testing::clusteredVectors(3000, 30, 0.3f, 13);
    std::vector<float> queries = testing::clusteredVectors(10, 30, 0.3f, 14);
    void SetUp() override { testing::addAll(index.handle, data); }
};

TEST_F(BatchSearchTest, EachQueryMatchesASingleSearch) {
    for (std::uint64_t k : {10, 256}) {
        const std::uint64_t ef = 300;
        std::vector<std::uint64_t> expected_ids(10 * k);
        std::vector<float> expected_scores(10 * k);
        std::vector<std::uint64_t> expected_counts(10);
        korvane_context* context = korvane_context_create(index.handle, ef);
        for (std::size_t q = 0; q < 10; ++q)
            expected_counts[q] = korvane_search(index.handle, context, queries.data() + q * 256, k,
                                                expected_ids.data() + q * k, expected_scores.data() + q * k);
        korvane_context_destroy(context);
        for (std::uint64_t threads : {0, 1, 3, 8}) {
            std::vector<std::uint64_t> ids(10 * k), counts(10);
            std::vector<float> scores(10 * k);
            ASSERT_EQ(korvane_search_batch(index.handle, queries.data(), 10, k, ef, threads, ids.data(),
                                           scores.data(), counts.data()),
                      0);
            EXPECT_EQ(counts, expected_counts);
            for (std::size_t q = 0; q < 10; ++q)
                for (std::size_t i = 0; i < counts[q]; ++i) {
                    EXPECT_EQ(ids[q * k + i], expected_ids[q * k + i]);
                    EXPECT_EQ(std::memcmp(&scores[q * k + i], &expected_scores[q * k + i], 4), 0);
                }
        }
    }
}

// Batches that leave groups partly filled, walks that end at very different
// times (ef from 10 to 512, removed nodes, every raw mode, both walks) and
// every thread count must still answer each query with the bits of a single
// search.
class BatchMatchesSingleTest : public ::testing::TestWithParam<std::tuple<RawMode, std::uint32_t>> {
  protected:
    static constexpr std::size_t kQueries = 1000;
    IndexHandle index{32, 5};
    std::vector<float> queries = testing::clusteredVectors(kQueries, 20, 0.4f, 6);

    void SetUp() override {
        index.get().raw_mode = std::get<0>(GetParam());
        testing::addAll(index.handle, testing::clusteredVectors(1500, 20, 0.4f, 5));
        for (std::uint64_t id = 0; id < 1500; id += 7) ASSERT_EQ(korvane_index_remove(index.handle, id), 0);
    }

    std::vector<Results> singleSearches(std::uint64_t k, std::uint64_t ef, std::size_t n) {
        std::vector<Results> all(n);
        korvane_context* context = korvane_context_create(index.handle, ef);
        EXPECT_EQ(korvane_context_set_walk(context, walk()), 0);
        for (std::size_t q = 0; q < n; ++q) {
            Results& r = all[q];
            r.ids.resize(k);
            r.scores.resize(k);
            const auto count = korvane_search(index.handle, context, queries.data() + q * 256, k, r.ids.data(), r.scores.data());
            r.ids.resize(count);
            r.scores.resize(count);
        }
        korvane_context_destroy(context);
        return all;
    }

    std::vector<Results> batchSearch(std::uint64_t k, std::uint64_t ef, std::uint64_t threads, std::size_t n) {
        std::vector<std::uint64_t> ids(n * k), counts(n, 9999);
        std::vector<float> scores(n * k);
        EXPECT_EQ(walk() == KORVANE_WALK_HAMMING
                      ? korvane_search_batch(index.handle, queries.data(), n, k, ef, threads, ids.data(), scores.data(), counts.data())
                      : korvane_search_batch_walk(index.handle, queries.data(), n, k, ef, 4, walk(), threads, ids.data(),
                                                  scores.data(), counts.data()),
                  0);
        std::vector<Results> all(n);
        for (std::size_t q = 0; q < n; ++q) {
            if (counts[q] > k) return {};
            all[q].ids.assign(ids.begin() + q * k, ids.begin() + q * k + counts[q]);
            all[q].scores.assign(scores.begin() + q * k, scores.begin() + q * k + counts[q]);
        }
        return all;
    }

    std::uint32_t walk() const { return std::get<1>(GetParam()); }
};

TEST_P(BatchMatchesSingleTest, EveryQueryHasTheBitsOfASingleSearch) {
    const std::size_t sizes[] = {1, 7, 8, 9, 23, kQueries, 17, 2, 100};
    std::size_t next_size = 0;
    for (std::uint64_t k : {1, 10, 256})
        for (std::uint64_t ef : {10, 77, 512}) {
            const std::uint64_t thread_counts[] = {0, 1, 2, 3, 8};
            std::size_t batch_sizes[std::size(thread_counts)], most = 0;
            for (std::size_t& n : batch_sizes) most = std::max(most, n = sizes[next_size++ % std::size(sizes)]);
            const std::vector<Results> expected = singleSearches(k, ef, most);
            for (std::size_t t = 0; t < std::size(thread_counts); ++t) {
                const std::uint64_t threads = thread_counts[t];
                const std::size_t n = batch_sizes[t];
                SCOPED_TRACE(::testing::Message() << "k " << k << " ef " << ef << " threads " << threads << " batch " << n);
                const std::vector<Results> got = batchSearch(k, ef, threads, n);
                ASSERT_EQ(got.size(), n);
                for (std::size_t q = 0; q < n; ++q) ASSERT_EQ(got[q], expected[q]) << "query " << q;
            }
        }
}

INSTANTIATE_TEST_SUITE_P(RawModesAndWalks, BatchMatchesSingleTest,
                         ::testing::Combine(::testing::Values(RawMode::None, RawMode::F32, RawMode::I8),
                                            ::testing::Values(KORVANE_WALK_HAMMING, KORVANE_WALK_SCORED)));

TEST_F(BatchSearchTest, DegenerateArguments) {
    std::vector<std::uint64_t> ids(40, 7), counts(4, 9);
    std::vector<float> scores(40, 1.0f);
    EXPECT_EQ(korvane_search_batch(index.handle, queries.data(), 4, 10, 0, 2, ids.data(), scores.data(), counts.data()), 0);
    EXPECT_EQ(counts, std::vector<std::uint64_t>(4, 0));
    counts.assign(4, 9);
    EXPECT_EQ(korvane_search_batch(index.handle, queries.data(), 4, 0, 64, 2, ids.data(), scores.data(), counts.data()), 0);
    EXPECT_EQ(counts, std::vector<std::uint64_t>(4, 0));
    counts.assign(4, 9);
    EXPECT_EQ(korvane_search_batch(index.handle, queries.data(), 0, 10, 64, 2, ids.data(), scores.data(), counts.data()), 0);
    EXPECT_EQ(counts, std::vector<std::uint64_t>(4, 9));
    EXPECT_EQ(ids, std::vector<std::uint64_t>(40, 7));
    const std::uint64_t huge = std::uint64_t{1} << 40;
    EXPECT_EQ(korvane_search_batch(index.handle, queries.data(), huge, huge, 64, 2, ids.data(), scores.data(), counts.data()), -1);
    EXPECT_EQ(korvane_search_batch(index.handle, queries.data(), 2, UINT64_MAX, 64, 2, ids.data(), scores.data(), counts.data()), -1);
}

TEST_F(BatchSearchTest, FailuresReleaseEverything) {
    std::vector<std::uint64_t> ids(40, 7), counts(4);
    std::vector<float> scores(40);
    const auto outstanding = allocationStats().outstanding;
    const auto points = testing::sweepAllocationFailures([&](std::uint64_t) {
        const int status = korvane_search_batch(index.handle, queries.data(), 4, 10, 64, 2, ids.data(), scores.data(), counts.data());
        EXPECT_EQ(allocationStats().outstanding, outstanding);
        return status == 0;
    });
    EXPECT_GE(points, 5u);
    armThreadFailure(2);
    ids.assign(40, 7);
    EXPECT_EQ(korvane_search_batch(index.handle, queries.data(), 4, 10, 64, 3, ids.data(), scores.data(), counts.data()), -1);
    disarmThreadFailure();
    EXPECT_EQ(ids, std::vector<std::uint64_t>(40, 7));
    EXPECT_EQ(allocationStats().outstanding, outstanding);
}

TEST_F(BatchSearchTest, FilteredSearchIsExactOverTheListedIds) {
    korvane_context* context = korvane_context_create(index.handle, 16);
    std::vector<std::uint64_t> allowed;
    for (std::uint64_t id = 0; id < 3000; id += 7) allowed.push_back(id);
    allowed.push_back(999999);  // never added
    ASSERT_EQ(korvane_index_remove(index.handle, 14), 0);
    float rotated[256];
    rotateVector(index.get().rotation, queries.data(), rotated);
    std::vector<std::pair<float, std::uint64_t>> expected;
    for (std::uint64_t id : allowed)
        if (const auto* node = index.get().id_to_node.find(id)) expected.push_back({exactScore(index.get(), *node, rotated), id});
    std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.first > b.first; });

    std::uint64_t ids[256];
    float scores[256];
    const auto n = korvane_search_filtered(index.handle, context, queries.data(), allowed.data(), allowed.size(), 500, ids, scores);
    ASSERT_EQ(n, 256u);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(scores[i], expected[i].first) << i;
        EXPECT_EQ(ids[i], expected[i].second) << i;
    }
    EXPECT_EQ(korvane_search_filtered(index.handle, context, queries.data(), allowed.data(), allowed.size(), 0, ids, scores), 0u);
    EXPECT_EQ(korvane_search_filtered(index.handle, context, queries.data(), allowed.data(), 0, 10, ids, scores), 0u);
    const std::uint64_t twice[] = {21, 21};
    EXPECT_EQ(korvane_search_filtered(index.handle, context, queries.data(), twice, 2, 10, ids, scores), 2u);
    EXPECT_EQ(ids[0], 21u);
    EXPECT_EQ(ids[1], 21u);
    korvane_context_destroy(context);
}

}  // namespace
}  // namespace korvane
