// Indexes of every dimension and metric: each way of adding and searching
// gives the same bits, and the scores are what the metric says they are.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "index/context.h"
#include "index/metric.h"
#include "index/query.h"
#include "index_test_support.h"
#include "korvane.h"

namespace korvane {
namespace {

struct ShapeCase {
    std::uint32_t dim;
    std::uint32_t metric;
};

std::string caseName(const ::testing::TestParamInfo<ShapeCase>& info) {
    static const char* kNames[] = {"ip", "cosine", "l2"};
    return std::to_string(info.param.dim) + "_" + kNames[info.param.metric];
}

// Clustered vectors whose lengths vary tenfold, all components positive
// for half of them: what raw features look like.
std::vector<float> shapedVectors(std::size_t count, std::size_t dim, std::uint64_t seed) {
    testing::TestRng rng(seed);
    std::vector<float> centres(4 * dim);
    for (float& c : centres) c = rng.normal();
    std::vector<float> out(count * dim);
    for (std::size_t v = 0; v < count; ++v) {
        const float length = rng.uniform(0.5f, 5.0f);
        const float* centre = &centres[(v % 4) * dim];
        for (std::size_t j = 0; j < dim; ++j) {
            const float x = centre[j] + 0.4f * rng.normal();
            out[v * dim + j] = length * (v % 2 ? std::fabs(x) : x);
        }
    }
    return out;
}

struct Handle {
    korvane_index* index;
    ~Handle() { korvane_index_destroy(index); }
};

struct Results {
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
    std::vector<std::uint64_t> counts;
    bool operator==(const Results& o) const {
        return ids == o.ids && counts == o.counts &&
               std::memcmp(scores.data(), o.scores.data(), scores.size() * sizeof(float)) == 0;
    }
};

constexpr std::uint64_t kK = 6;

Results roomFor(std::size_t queries) {
    return Results{std::vector<std::uint64_t>(queries * kK, 0), std::vector<float>(queries * kK, 0.0f),
                   std::vector<std::uint64_t>(queries)};
}

// Every query by the graph with a breadth that covers the index and every
// candidate re-scored, so the answer is the exact ranking of all vectors.
Results searchAll(korvane_index* index, const std::vector<float>& queries, std::size_t n, std::uint64_t ef,
                  std::uint32_t walk = KORVANE_WALK_HAMMING) {
    const std::size_t dim = korvane_index_dim(index);
    Results r = roomFor(n);
    korvane_context* context = korvane_context_create(index, ef);
    korvane_context_set_rerank(context, 0);
    korvane_context_set_walk(context, walk);
    for (std::size_t q = 0; q < n; ++q)
        r.counts[q] = korvane_search(index, context, &queries[q * dim], kK, &r.ids[q * kK], &r.scores[q * kK]);
    korvane_context_destroy(context);
    return r;
}

Results searchFiltered(korvane_index* index, const std::vector<float>& queries, std::size_t n,
                       const std::vector<std::uint64_t>& allowed) {
    const std::size_t dim = korvane_index_dim(index);
    Results r = roomFor(n);
    korvane_context* context = korvane_context_create(index, 8);
    for (std::size_t q = 0; q < n; ++q)
        r.counts[q] = korvane_search_filtered(index, context, &queries[q * dim], allowed.data(), allowed.size(), kK,
                                              &r.ids[q * kK], &r.scores[q * kK]);
    korvane_context_destroy(context);
    return r;
}

Results searchBatch(korvane_index* index, const std::vector<float>& queries, std::size_t n, std::uint64_t ef,
                    std::uint64_t threads, std::uint32_t walk = KORVANE_WALK_HAMMING) {
    Results r = roomFor(n);
    EXPECT_EQ(korvane_search_batch_walk(index, queries.data(), n, kK, ef, 0, walk, threads, r.ids.data(),
                                        r.scores.data(), r.counts.data()),
              0);
    return r;
}

// The metric's score in double from the caller's vectors.
double trueScore(std::uint32_t metric, const float* q, const float* x, std::size_t dim) {
    double dot = 0.0, qq = 0.0, xx = 0.0, dd = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        dot += double(q[j]) * x[j];
        qq += double(q[j]) * q[j];
        xx += double(x[j]) * x[j];
        dd += (double(q[j]) - x[j]) * (double(q[j]) - x[j]);
    }
    if (metric == KORVANE_METRIC_COSINE) return dot / std::sqrt(qq * xx);
    return metric == KORVANE_METRIC_L2 ? -dd : dot;
}

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

std::string tempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / (name + "." + std::to_string(getpid()))).string();
}

class Shapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, EveryWayOfAddingAndSearchingGivesTheSameBits) {
    const auto [dim, metric] = GetParam();
    const std::size_t n = dim >= 1536 ? 48 : 90, queries_n = 7;
    const std::uint32_t store = (dim + metric) % 3;  // every store meets every metric somewhere
    const std::vector<float> data = shapedVectors(n, dim, dim * 3 + metric);
    const std::vector<float> queries = shapedVectors(queries_n, dim, dim * 5 + metric + 1);
    std::vector<std::uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = 1000 + 7 * i;

    Handle single{korvane_index_create_with_options(dim, metric, store, 40, 9)};
    ASSERT_NE(single.index, nullptr);
    EXPECT_EQ(korvane_index_dim(single.index), dim);
    EXPECT_EQ(korvane_index_metric(single.index), metric);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(korvane_index_add(single.index, ids[i], &data[i * dim]), 0);

    // Searches: through the whole graph, from the allowed list, in batches.
    // One component gives every vector of one sign the same routing code,
    // and a graph over identical codes need not reach them all: there only
    // the allowed-list search is exhaustive.
    const Results reference = searchFiltered(single.index, queries, queries_n, ids);
    const bool walk_reaches_all = dim > 1;
    EXPECT_TRUE(!walk_reaches_all || reference == searchAll(single.index, queries, queries_n, n));
    EXPECT_TRUE(searchAll(single.index, queries, queries_n, n) == searchBatch(single.index, queries, queries_n, n, 2));
    for (std::size_t q = 0; q < queries_n; ++q) ASSERT_EQ(reference.counts[q], kK);
    // The scored walk, wide enough to reach every node, ranks them all by
    // the score it returns: the same answer again.
    const Results scored = searchAll(single.index, queries, queries_n, n, KORVANE_WALK_SCORED);
    EXPECT_TRUE(!walk_reaches_all || reference == scored);
    EXPECT_TRUE(scored == searchBatch(single.index, queries, queries_n, n, 3, KORVANE_WALK_SCORED));

    // The same ranking, bit for bit, from the library's own scorer over
    // every vector; and, with float copies, the metric's value itself.
    const Index& index = *fromHandle(single.index);
    SearchContext* context = createContext(index, 8);
    for (std::size_t q = 0; q < queries_n; ++q) {
        ASSERT_TRUE(prepareVector(index, &queries[q * dim], context->query_rotated));
        const float query_squared = squaredLength(index, context->query_rotated);
        std::vector<std::pair<float, std::uint64_t>> all;
        for (std::size_t i = 0; i < n && store != KORVANE_STORE_NONE; ++i)
            all.push_back({metricScore(index, exactScore(index, i, context->query_rotated), i, query_squared), i});
        std::sort(all.begin(), all.end(), [](auto a, auto b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
        for (std::size_t r = 0; r < kK && !all.empty(); ++r) {
            EXPECT_EQ(reference.scores[q * kK + r], all[r].first) << "query " << q << " rank " << r;
            if (store != KORVANE_STORE_F32) continue;
            const double truth = trueScore(metric, &queries[q * dim], &data[all[r].second * dim], dim);
            const double scale = metric == KORVANE_METRIC_L2 ? 1e-4 * (1.0 - truth) + 1e-2 : 1e-4 + 1e-5 * dim;
            EXPECT_NEAR(reference.scores[q * kK + r], truth, scale * (metric == KORVANE_METRIC_IP ? 100 : 1));
        }
    }
    destroyContext(context);

    // Batch builds at 1, 2 and 3 threads write the same file; it loads only
    // through load_any (unless of the default shape) and answers the same.
    // (A Euclidean batch takes its centre from all its vectors, a first
    // single addition from one, so only the other metrics answer exactly
    // as the one-by-one build does.)
    const std::string path = tempPath("shape"), other = tempPath("shape_b");
    std::vector<char> first_file;
    for (std::uint64_t threads : {1, 2, 3}) {
        Handle batch{korvane_index_create_with_options(dim, metric, store, 40, 9)};
        ASSERT_EQ(korvane_index_add_batch(batch.index, ids.data(), data.data(), n, threads), 0);
        const Results answers = searchFiltered(batch.index, queries, queries_n, ids);
        EXPECT_TRUE(!walk_reaches_all || answers == searchAll(batch.index, queries, queries_n, n)) << threads;
        EXPECT_TRUE(metric == KORVANE_METRIC_L2 || reference == answers) << threads << " threads";
        ASSERT_EQ(korvane_index_save(batch.index, other.c_str()), 0);
        std::vector<char> file = readFile(other);
        if (first_file.empty()) first_file = file;
        EXPECT_EQ(file, first_file) << threads << " threads";
    }
    ASSERT_EQ(korvane_index_save(single.index, path.c_str()), 0);
    Handle loaded{korvane_index_load_any(path.c_str())};
    ASSERT_NE(loaded.index, nullptr);
    EXPECT_EQ(korvane_index_dim(loaded.index), dim);
    EXPECT_EQ(korvane_index_metric(loaded.index), metric);
    EXPECT_TRUE(reference == searchFiltered(loaded.index, queries, queries_n, ids));
    EXPECT_TRUE(searchAll(single.index, queries, queries_n, n) == searchAll(loaded.index, queries, queries_n, n));
    EXPECT_TRUE(scored == searchAll(loaded.index, queries, queries_n, n, KORVANE_WALK_SCORED));
    Handle strict{korvane_index_load(path.c_str())};
    EXPECT_EQ(strict.index != nullptr, dim == 256 && metric == KORVANE_METRIC_IP);
    // A reloaded index saves the same bytes.
    ASSERT_EQ(korvane_index_save(loaded.index, other.c_str()), 0);
    EXPECT_EQ(readFile(other), readFile(path));
    std::filesystem::remove(path);
    std::filesystem::remove(other);
}

std::vector<ShapeCase> allCases() {
    std::vector<ShapeCase> cases;
    for (std::uint32_t dim : {1u, 3u, 8u, 100u, 255u, 256u, 257u, 784u, 1536u, 4096u})
        for (std::uint32_t metric = 0; metric < 3; ++metric) cases.push_back({dim, metric});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryShape, Shapes, ::testing::ValuesIn(allCases()), caseName);

// Files and answers of other shapes, recorded once: every SIMD path (CI runs
// the suite under each) and every machine must give these bits.
TEST(Shapes, FilesAndAnswersAreTheSameOnEveryPath) {
    struct Recorded {
        ShapeCase shape;
        std::uint32_t store;
        const char* file;
        const char* answers;
        const char* scored_answers;  // of the scored walk
    };
    const Recorded recorded[] = {
        {{256, KORVANE_METRIC_IP}, KORVANE_STORE_I8,
         "b3a180c1faa806bd23422d390bea86e7bff89807ced448f21cc56c2493a0afde",
         "351a5780712a4adb38cf27883a779d56df4a608ceead97ac0e08db4f74137c92",
         "0b9c0379f8a4c9011f1bf5a1aa24574a26f456cb73460bfc21aca5f4192b839f"},
        {{3, KORVANE_METRIC_L2}, KORVANE_STORE_F32,
         "e9ff7d9634bd074e5e2fa4149731f5a44592fd1e1b0aaeb6214274fa144c2064",
         "41b939d3040748397cbee6593e0db80a9fb294081e0581094862dc200e10cdee",
         "e717e14b749b001790a5d68f61c4279d72a9902564c6ada0710264e9670c8ed4"},
        {{100, KORVANE_METRIC_COSINE}, KORVANE_STORE_I8,
         "89aecc0926b8401af44259359b166dcd7c47a5f93b101fb162978d000779297a",
         "de78bb41e0a2b5725ee2af111cb651c6ba3071d1cd265d940184a83984f27787",
         "97e7fc033e0166e3e1c29abbf0623e66b52ab307c4554ebf5e2a16b949c52d91"},
        {{784, KORVANE_METRIC_L2}, KORVANE_STORE_I8,
         "7bfaad555c1ddc8d618782d7c0266954b4cb946548cd7a0ac81d498b1b0fcebc",
         "b1fe0a2c5332b8fbe332939f8bad756d6c0e2bbfdd2c0c39a0acedfa363cec16",
         "7c3362818615db7bfd9e3c320e5222641c9c9a603d863162913b71d40c2ad60f"},
        {{1536, KORVANE_METRIC_IP}, KORVANE_STORE_NONE,
         "1b81ced4e73881d07efa20019c5a68f606de8f7081a3050eb8e488f4c305840a",
         "f0e38f51de7d5e61e205f7b11ed7f2da91a387df2866d0e7db73b181852eec9c",
         "0bdafd429e7c43b0850f8419b1d69c4957460b2b705e9b15583aeeaa77170b78"},
    };
    for (const Recorded& r : recorded) {
        const std::size_t dim = r.shape.dim, n = 400, nq = 20;
        const std::vector<float> data = shapedVectors(n, dim, 91), queries = shapedVectors(nq, dim, 92);
        std::vector<std::uint64_t> ids(n);
        for (std::size_t i = 0; i < n; ++i) ids[i] = 3 * i + 1;
        Handle index{korvane_index_create_with_options(dim, r.shape.metric, r.store, 64, 11)};
        ASSERT_EQ(korvane_index_add_batch(index.index, ids.data(), data.data(), n, 2), 0);
        const std::string path = tempPath("recorded");
        ASSERT_EQ(korvane_index_save(index.index, path.c_str()), 0);
        const std::vector<char> file = readFile(path);
        std::filesystem::remove(path);
        const auto answerHash = [&](std::uint32_t walk) {
            const Results answers = searchBatch(index.index, queries, nq, 24, 2, walk);
            std::vector<char> bytes(reinterpret_cast<const char*>(answers.ids.data()),
                                    reinterpret_cast<const char*>(answers.ids.data() + answers.ids.size()));
            bytes.insert(bytes.end(), reinterpret_cast<const char*>(answers.scores.data()),
                         reinterpret_cast<const char*>(answers.scores.data() + answers.scores.size()));
            return testing::sha256Hex(bytes.data(), bytes.size());
        };
        const std::string file_hash = testing::sha256Hex(file.data(), file.size());
        const std::string answer_hash = answerHash(KORVANE_WALK_HAMMING);
        const std::string scored_hash = answerHash(KORVANE_WALK_SCORED);
        std::printf("%zu-d metric %u: file %s answers %s scored %s\n", dim, r.shape.metric, file_hash.c_str(),
                    answer_hash.c_str(), scored_hash.c_str());
        EXPECT_EQ(file_hash, r.file) << dim;
        EXPECT_EQ(answer_hash, r.answers) << dim;
        EXPECT_EQ(scored_hash, r.scored_answers) << dim;
    }
}

TEST(Shapes, TheDefaultShapeIsTheCreatedIndexExactly) {
    const std::vector<float> data = testing::clusteredVectors(300, 6, 0.3f, 17);
    std::vector<std::uint64_t> ids(300);
    for (std::size_t i = 0; i < 300; ++i) ids[i] = i * 11;
    Handle plain{korvane_index_create(50, 77)};
    Handle shaped{korvane_index_create_with_options(256, KORVANE_METRIC_IP, KORVANE_STORE_I8, 50, 77)};
    ASSERT_EQ(korvane_index_add_batch(plain.index, ids.data(), data.data(), 300, 2), 0);
    ASSERT_EQ(korvane_index_add_batch(shaped.index, ids.data(), data.data(), 300, 2), 0);
    EXPECT_EQ(korvane_index_memory_bytes(plain.index), korvane_index_memory_bytes(shaped.index));
    const std::string a = tempPath("plain"), b = tempPath("shaped");
    ASSERT_EQ(korvane_index_save(plain.index, a.c_str()), 0);
    ASSERT_EQ(korvane_index_save(shaped.index, b.c_str()), 0);
    EXPECT_EQ(readFile(a), readFile(b));
    std::filesystem::remove(a);
    std::filesystem::remove(b);
}

TEST(Shapes, OutOfRangeOptionsAndDirectionlessCosineVectorsAreRefused) {
    EXPECT_EQ(korvane_index_create_with_options(0, 0, 2, 40, 1), nullptr);
    EXPECT_EQ(korvane_index_create_with_options(4097, 0, 2, 40, 1), nullptr);
    EXPECT_EQ(korvane_index_create_with_options(16, 3, 2, 40, 1), nullptr);
    EXPECT_EQ(korvane_index_create_with_options(16, 0, 3, 40, 1), nullptr);

    Handle cosine{korvane_index_create_with_options(16, KORVANE_METRIC_COSINE, KORVANE_STORE_F32, 40, 1)};
    std::vector<float> vectors(3 * 16, 1.0f), zero(16, 0.0f);
    vectors[16 + 5] = NAN;
    const std::uint64_t ids[3] = {1, 2, 3};
    EXPECT_EQ(korvane_index_add(cosine.index, 9, zero.data()), -1);
    EXPECT_EQ(korvane_index_add_batch(cosine.index, ids, vectors.data(), 3, 1), -1);
    EXPECT_EQ(korvane_index_len(cosine.index), 0u);
    ASSERT_EQ(korvane_index_add(cosine.index, 9, vectors.data()), 0);
    std::uint64_t out_ids[2];
    float out_scores[2];
    korvane_context* context = korvane_context_create(cosine.index, 8);
    EXPECT_EQ(korvane_search(cosine.index, context, zero.data(), 2, out_ids, out_scores), 0u);
    ASSERT_EQ(korvane_search(cosine.index, context, vectors.data(), 2, out_ids, out_scores), 1u);
    EXPECT_NEAR(out_scores[0], 1.0f, 1e-6f);
    korvane_context_destroy(context);
}

TEST(Shapes, EveryFailedAllocationOfAShapedCreateGivesNullAndLeaksNothing) {
    for (std::uint32_t metric = 0; metric < 3; ++metric) {
        const std::uint64_t calls = testing::sweepAllocationFailures([&](std::uint64_t) {
            korvane_index* index = korvane_index_create_with_options(784, metric, KORVANE_STORE_I8, 40, 3);
            const bool made = index != nullptr;
            korvane_index_destroy(index);
            return made;
        });
        EXPECT_GT(calls, 6u) << metric;
    }
}

}  // namespace
}  // namespace korvane
