// Compaction: the graph rebuilt over what is left after removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>

#include "index_test_support.h"
#include "korvane.h"

namespace korvane {
namespace {

using testing::IndexHandle;

std::vector<char> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// Recall@k over `queries` against the exact inner-product top k of `live`.
double recallOf(korvane_index* index, const std::vector<float>& data, const std::vector<std::uint64_t>& live,
                const std::vector<float>& queries, std::size_t k, std::uint64_t ef) {
    const std::size_t nq = queries.size() / 256;
    korvane_context* context = korvane_context_create(index, ef);
    std::size_t hits = 0;
    for (std::size_t q = 0; q < nq; ++q) {
        std::vector<std::pair<double, std::uint64_t>> scored;
        for (std::uint64_t id : live) {
            double dot = 0;
            for (std::size_t j = 0; j < 256; ++j) dot += double(data[id * 256 + j]) * queries[q * 256 + j];
            scored.push_back({-dot, id});
        }
        const std::size_t want = std::min(k, scored.size());
        std::partial_sort(scored.begin(), scored.begin() + std::ptrdiff_t(want), scored.end());
        std::vector<std::uint64_t> ids(k);
        std::vector<float> scores(k);
        const std::uint64_t got = korvane_search(index, context, &queries[q * 256], k, ids.data(), scores.data());
        for (std::size_t i = 0; i < got; ++i)
            for (std::size_t t = 0; t < want; ++t) hits += scored[t].second == ids[i];
    }
    korvane_context_destroy(context);
    return double(hits) / double(nq * std::min(k, live.size()));
}

// After heavy removal the uncompacted graph routes through dead nodes; the
// compacted one does as well as a fresh build of the same live vectors.
TEST(Compact, RecallAfterRemovalMatchesAFreshBuild) {
    const std::size_t n = 4000;
    const auto data = testing::clusteredVectors(n, 40, 0.6f, 5);
    const auto queries = testing::clusteredVectors(60, 40, 0.6f, 6);
    for (const std::size_t kept : {n / 2, std::size_t{40}}) {
        IndexHandle index(100, 3);
        testing::addAll(index.handle, data);
        std::vector<std::uint64_t> live;
        for (std::uint64_t id = 0; id < n; ++id) {
            if (id % (n / kept) == 0) live.push_back(id);
            else ASSERT_EQ(korvane_index_remove(index.handle, id), 0);
        }
        const double before = recallOf(index.handle, data, live, queries, 10, 32);
        const std::uint64_t memory = korvane_index_memory_bytes(index.handle);
        ASSERT_EQ(korvane_index_compact(index.handle), 0);
        EXPECT_EQ(korvane_index_len(index.handle), live.size());
        EXPECT_LT(korvane_index_memory_bytes(index.handle), memory);
        const double after = recallOf(index.handle, data, live, queries, 10, 32);

        IndexHandle fresh(100, 3);
        for (std::uint64_t id : live) ASSERT_EQ(korvane_index_add(fresh.handle, id, &data[id * 256]), 0);
        const double rebuilt = recallOf(fresh.handle, data, live, queries, 10, 32);
        std::printf("%zu of %zu kept, recall@10 at ef 32: removed %.3f, compacted %.3f, fresh build %.3f\n", kept, n,
                    before, after, rebuilt);
        EXPECT_GE(after, rebuilt - 0.02);
        EXPECT_GE(after, before);
    }
}

// The rebuild keeps every vector's ids and scores, is the same every time,
// leaves a usable index (adds, removals, saves) and, when memory runs out,
// leaves the index exactly as it was. Shaped indexes compact the same way.
TEST(Compact, KeepsScoresIsDeterministicAndFailsCleanly) {
    for (const std::uint32_t dim : {256u, 100u}) {
        const std::uint32_t metric = dim == 256 ? KORVANE_METRIC_IP : KORVANE_METRIC_L2;
        const auto data = testing::randomVectors(300, 8);  // 300 x 256 floats, read as 768 x 100 too
        auto build = [&] {
            korvane_index* index = korvane_index_create_with_options(dim, metric, KORVANE_STORE_I8, 64, 2);
            for (std::uint64_t id = 0; id < 300; ++id) korvane_index_add(index, id * 5, &data[id * dim]);
            for (std::uint64_t id = 0; id < 300; id += 3) korvane_index_remove(index, id * 5);
            return index;
        };
        std::vector<std::uint64_t> all(300);
        for (std::uint64_t i = 0; i < 300; ++i) all[i] = i * 5;
        auto answers = [&](korvane_index* index) {
            korvane_context* context = korvane_context_create(index, 16);
            std::vector<std::uint64_t> ids(30);
            std::vector<float> scores(30);
            const std::uint64_t got =
                korvane_search_filtered(index, context, &data[7 * dim], all.data(), all.size(), 30, ids.data(), scores.data());
            korvane_context_destroy(context);
            ids.resize(got);
            std::vector<std::uint32_t> bits(got);
            std::memcpy(bits.data(), scores.data(), got * sizeof(float));
            return std::make_pair(ids, bits);
        };
        korvane_index* index = build();
        const auto expected = answers(index);
        const std::uint64_t memory = korvane_index_memory_bytes(index);
        const std::uint64_t calls = testing::sweepAllocationFailures([&](std::uint64_t) {
            const bool done = korvane_index_compact(index) == 0;
            EXPECT_EQ(korvane_index_len(index), 200u);
            EXPECT_TRUE(done || korvane_index_memory_bytes(index) == memory);  // untouched, not half rebuilt
            return done;
        });
        EXPECT_GT(calls, 3u);
        EXPECT_TRUE(answers(index) == expected) << dim;

        korvane_index* again = build();
        ASSERT_EQ(korvane_index_compact(again), 0);
        ASSERT_EQ(korvane_index_compact(index), 0);  // compacting twice changes nothing more
        const std::string a = ::testing::TempDir() + "compact_a", b = ::testing::TempDir() + "compact_b";
        ASSERT_EQ(korvane_index_save(index, a.c_str()), 0);
        ASSERT_EQ(korvane_index_save(again, b.c_str()), 0);
        EXPECT_EQ(fileBytes(a), fileBytes(b)) << dim;
        EXPECT_EQ(korvane_index_add(index, 5, &data[0]), -2);  // id 5 is still there
        EXPECT_EQ(korvane_index_add(index, 0, &data[0]), 0);   // id 0 was removed
        korvane_index_destroy(index);
        korvane_index_destroy(again);
    }
}

}  // namespace
}  // namespace korvane
