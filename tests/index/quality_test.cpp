#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "index_test_support.h"

namespace korvane {
namespace {

std::vector<std::uint64_t> exactTop(const std::vector<float>& data, const float* query, std::size_t k) {
    const std::size_t n = data.size() / 256;
    std::vector<std::pair<double, std::uint64_t>> scored(n);
    for (std::size_t i = 0; i < n; ++i) {
        double dot = 0;
        for (std::size_t j = 0; j < 256; ++j) dot += double(data[i * 256 + j]) * query[j];
        scored[i] = {-dot, i};
    }
    std::partial_sort(scored.begin(), scored.begin() + k, scored.end());
    std::vector<std::uint64_t> ids(k);
    for (std::size_t i = 0; i < k; ++i) ids[i] = scored[i].second;
    return ids;
}

TEST(Quality, RecallAtTenOnClusteredVectors) {
    const std::size_t n = 20000, nq = 200;
    const auto data = testing::clusteredVectors(n, 100, 1.0f, 21);
    const auto queries = testing::clusteredVectors(nq, 100, 1.0f, 21 * 7 + 1);
    testing::IndexHandle index(100, 1);
    testing::addAll(index.handle, data);
    ASSERT_EQ(korvane_index_len(index.handle), n);

    std::vector<std::vector<std::uint64_t>> truth(nq);
    for (std::size_t q = 0; q < nq; ++q) truth[q] = exactTop(data, queries.data() + q * 256, 10);

    double recall_at_128 = 0;
    for (std::uint64_t ef : {16, 64, 128, 256}) {
        korvane_context* context = korvane_context_create(index.handle, ef);
        std::size_t hits = 0;
        for (std::size_t q = 0; q < nq; ++q) {
            std::uint64_t ids[10];
            float scores[10];
            const auto got = korvane_search(index.handle, context, queries.data() + q * 256, 10, ids, scores);
            for (std::size_t i = 0; i < got; ++i)
                hits += std::count(truth[q].begin(), truth[q].end(), ids[i]);
        }
        korvane_context_destroy(context);
        const double recall = double(hits) / double(nq * 10);
        std::printf("recall@10 at ef_search %3llu: %.3f\n", static_cast<unsigned long long>(ef), recall);
        if (ef == 128) recall_at_128 = recall;
    }
    // Results are the same on every machine: 0.520 measured, so a drop of a
    // few hits fails.
    EXPECT_GT(recall_at_128, 0.50);
}

// Float copies with every candidate re-scored lift the ceiling that 8-bit
// copies and the default depth leave, on queries held out of the same data
// (measured 1.0000 here; the default store and depth measure 0.989).
TEST(Quality, FloatStoreWithFullRescoringReachesHighRecall) {
    const std::size_t n = 20000, nq = 200;
    const auto all = testing::clusteredVectors(n + nq, 100, 1.0f, 23);
    const std::vector<float> data(all.begin(), all.begin() + n * 256), queries(all.begin() + n * 256, all.end());
    std::vector<std::uint64_t> ids(n);
    std::iota(ids.begin(), ids.end(), 0);
    testing::IndexHandle index(100, 1, KORVANE_STORE_F32);
    ASSERT_EQ(korvane_index_add_batch(index.handle, ids.data(), data.data(), n, 2), 0);
    std::vector<std::uint64_t> found(nq * 10), counts(nq);
    std::vector<float> scores(nq * 10);
    ASSERT_EQ(korvane_search_batch_rerank(index.handle, queries.data(), nq, 10, 256, 0, 2, found.data(),
                                          scores.data(), counts.data()),
              0);
    std::size_t hits = 0;
    for (std::size_t q = 0; q < nq; ++q) {
        const auto truth = exactTop(data, queries.data() + q * 256, 10);
        for (std::size_t i = 0; i < counts[q]; ++i) hits += std::count(truth.begin(), truth.end(), found[q * 10 + i]);
    }
    const double recall = double(hits) / double(nq * 10);
    std::printf("recall@10 at ef_search 256, float copies, every candidate re-scored: %.4f\n", recall);
    EXPECT_GE(recall, 0.995);
}

}  // namespace
}  // namespace korvane
