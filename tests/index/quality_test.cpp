#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
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

    const auto recallAt = [&](std::uint64_t ef, std::uint32_t walk) {
        korvane_context* context = korvane_context_create(index.handle, ef);
        korvane_context_set_walk(context, walk);
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
        std::printf("%s walk, recall@10 at ef_search %3llu: %.3f\n", walk ? "scored" : "hamming",
                    static_cast<unsigned long long>(ef), recall);
        return recall;
    };
    double recall_at_128 = 0;
    for (std::uint64_t ef : {16, 64, 128, 256}) {
        const double recall = recallAt(ef, KORVANE_WALK_HAMMING);
        if (ef == 128) recall_at_128 = recall;
    }
    // Results are the same on every machine: 0.520 measured, so a drop of a
    // few hits fails.
    EXPECT_GT(recall_at_128, 0.50);
    // The scored walk gets further with a narrow breadth: 0.291 measured at
    // ef_search 16 (0.433 at 32, 0.564 at 64), where the Hamming walk finds
    // 0.126.
    EXPECT_GT(recallAt(16, KORVANE_WALK_SCORED), 0.28);
    recallAt(64, KORVANE_WALK_SCORED);
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

// Raw features: non-negative, clustered in a few directions, each vector's
// brightness varying fourfold, compared by distance.
std::vector<float> rawFeatures(std::size_t count, std::size_t dim, std::uint64_t seed) {
    testing::TestRng rng(seed);
    constexpr std::size_t kClusters = 40, kRank = 8;
    std::vector<float> centres(kClusters * dim), basis(kClusters * kRank * dim);
    for (float& c : centres) c = rng.uniform(0.0f, 1.0f) < 0.4f ? 0.0f : rng.uniform(0.0f, 200.0f);
    for (float& b : basis) b = rng.normal() * 12.0f;
    std::vector<float> out(count * dim);
    for (std::size_t v = 0; v < count; ++v) {
        const std::size_t c = rng.next() % kClusters;
        float weights[kRank];
        for (float& w : weights) w = rng.normal();
        const float brightness = rng.uniform(0.5f, 2.0f);
        for (std::size_t j = 0; j < dim; ++j) {
            float x = centres[c * dim + j];
            for (std::size_t r = 0; r < kRank; ++r) x += weights[r] * basis[(c * kRank + r) * dim + j];
            out[v * dim + j] = brightness * (x > 0.0f ? x : 0.0f);
        }
    }
    return out;
}

// Embeddings: clusters in a low-dimensional subspace plus noise, compared by
// angle (the index normalises them).
std::vector<float> embeddings(std::size_t count, std::size_t dim, std::uint64_t seed) {
    testing::TestRng rng(seed);
    constexpr std::size_t kClusters = 60, kRank = 24;
    std::vector<float> basis(kRank * dim), centres(kClusters * kRank);
    for (float& b : basis) b = rng.normal();
    for (float& c : centres) c = rng.normal();
    std::vector<float> out(count * dim);
    for (std::size_t v = 0; v < count; ++v) {
        const std::size_t c = rng.next() % kClusters;
        float coords[kRank];
        for (std::size_t r = 0; r < kRank; ++r) coords[r] = centres[c * kRank + r] + 0.5f * rng.normal();
        for (std::size_t j = 0; j < dim; ++j) {
            float x = 0.3f * rng.normal();
            for (std::size_t r = 0; r < kRank; ++r) x += coords[r] * basis[r * dim + j];
            out[v * dim + j] = x;
        }
    }
    return out;
}

double shapedRecall(std::uint32_t dim, std::uint32_t metric, std::uint32_t store, const std::vector<float>& all,
                    std::size_t n, std::size_t nq, std::uint64_t ef) {
    const std::vector<float> data(all.begin(), all.begin() + n * dim), queries(all.begin() + n * dim, all.end());
    korvane_index* index = korvane_index_create_with_options(dim, metric, store, 100, 1);
    std::vector<std::uint64_t> ids(n);
    std::iota(ids.begin(), ids.end(), 0);
    EXPECT_EQ(korvane_index_add_batch(index, ids.data(), data.data(), n, 2), 0);
    std::vector<std::uint64_t> found(nq * 10), counts(nq);
    std::vector<float> scores(nq * 10);
    EXPECT_EQ(korvane_search_batch(index, queries.data(), nq, 10, ef, 2, found.data(), scores.data(), counts.data()), 0);
    korvane_index_destroy(index);
    std::size_t hits = 0;
    for (std::size_t q = 0; q < nq; ++q) {
        const float* query = &queries[q * dim];
        std::vector<std::pair<double, std::uint64_t>> scored(n);
        for (std::size_t i = 0; i < n; ++i) {
            double dot = 0, qq = 0, xx = 0, dd = 0;
            for (std::size_t j = 0; j < dim; ++j) {
                const double a = query[j], b = data[i * dim + j];
                dot += a * b, qq += a * a, xx += b * b, dd += (a - b) * (a - b);
            }
            scored[i] = {metric == KORVANE_METRIC_L2 ? dd : -dot / std::sqrt(qq * xx), i};
        }
        std::partial_sort(scored.begin(), scored.begin() + 10, scored.end());
        for (std::size_t i = 0; i < counts[q]; ++i)
            for (std::size_t t = 0; t < 10; ++t) hits += scored[t].second == found[q * 10 + i];
    }
    return double(hits) / double(nq * 10);
}

// Sign codes see angles; the Euclidean index's centre must keep the graph
// navigating by distance on data far from the origin with varying lengths
// (0.989 measured; routed about the origin the same index gives 0.921).
TEST(Quality, EuclideanRecallOnRawFeaturesOfVaryingLength) {
    const std::size_t n = 10000, nq = 100;
    const auto all = rawFeatures(n + nq, 300, 31);
    const double recall = shapedRecall(300, KORVANE_METRIC_L2, KORVANE_STORE_I8, all, n, nq, 64);
    std::printf("l2, 300-d raw features, ef 64: recall@10 %.3f\n", recall);
    EXPECT_GE(recall, 0.97);
}

// 0.990 measured.
TEST(Quality, CosineRecallOnClusteredEmbeddings) {
    const std::size_t n = 10000, nq = 100;
    const auto all = embeddings(n + nq, 384, 37);
    const double recall = shapedRecall(384, KORVANE_METRIC_COSINE, KORVANE_STORE_I8, all, n, nq, 64);
    std::printf("cosine, 384-d embeddings, ef 64: recall@10 %.3f\n", recall);
    EXPECT_GE(recall, 0.97);
}

}  // namespace
}  // namespace korvane
