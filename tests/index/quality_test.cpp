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

}  // namespace
}  // namespace korvane
