// Readers in parallel: searches of every kind with their own contexts while
// another thread saves the same index, and the batch calls at every thread
// count. Built for ThreadSanitizer; also part of the normal suite.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "korvane.h"
#include "support/test_support.h"

namespace korvane {
namespace {

struct Fixture {
    korvane_index* index = korvane_index_create(48, 77);
    std::vector<float> data = testing::clusteredVectors(1500, 15, 0.3f, 78);
    std::vector<float> queries = testing::clusteredVectors(16, 15, 0.3f, 79);
    std::vector<std::uint64_t> ids;
    Fixture() {
        for (std::uint64_t i = 0; i < 1500; ++i) ids.push_back(i * 5 + 1);
        EXPECT_EQ(korvane_index_add_batch(index, ids.data(), data.data(), 1500, 2), 0);
    }
    ~Fixture() { korvane_index_destroy(index); }
};

std::vector<std::uint64_t> searchIds(korvane_index* index, korvane_context* context, const float* query) {
    std::vector<std::uint64_t> ids(10);
    float scores[10];
    ids.resize(korvane_search(index, context, query, 10, ids.data(), scores));
    return ids;
}

TEST(Concurrency, SearchesOfEveryKindWhileSaving) {
    Fixture f;
    korvane_context* reference = korvane_context_create(f.index, 64);
    std::vector<std::vector<std::uint64_t>> expected;
    for (std::size_t q = 0; q < 16; ++q) expected.push_back(searchIds(f.index, reference, f.queries.data() + q * 256));
    korvane_context_destroy(reference);

    std::atomic<int> mismatches{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            korvane_context* context = korvane_context_create(f.index, 64);
            for (int round = 0; round < 4; ++round)
                for (std::size_t q = 0; q < 16; ++q) {
                    mismatches += searchIds(f.index, context, f.queries.data() + q * 256) != expected[q];
                    std::uint64_t ids[10];
                    float scores[10];
                    korvane_search_filtered(f.index, context, f.queries.data() + q * 256, f.ids.data(), 200, 10, ids, scores);
                }
            korvane_context_destroy(context);
        });
    threads.emplace_back([&] {
        std::vector<std::uint64_t> ids(16 * 10), counts(16);
        std::vector<float> scores(16 * 10);
        for (int round = 0; round < 3; ++round)
            failures += korvane_search_batch(f.index, f.queries.data(), 16, 10, 64, 2, ids.data(), scores.data(), counts.data()) != 0;
    });
    threads.emplace_back([&] {
        const std::string path = "concurrency_save_" + std::to_string(getpid()) + ".kvx";
        for (int round = 0; round < 2; ++round) failures += korvane_index_save(f.index, path.c_str()) != 0;
        unlink(path.c_str());
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(failures.load(), 0);
}

TEST(Concurrency, BatchCallsAtEveryThreadCount) {
    const auto data = testing::randomVectors(600, 80);
    std::vector<std::uint64_t> ids(600);
    for (std::uint64_t i = 0; i < 600; ++i) ids[i] = i;
    for (std::uint64_t threads : {0, 1, 2, 3, 8}) {
        korvane_index* index = korvane_index_create(32, 81);
        ASSERT_EQ(korvane_index_add_batch(index, ids.data(), data.data(), 600, threads), 0);
        std::vector<std::uint64_t> out(8 * 5), counts(8);
        std::vector<float> scores(8 * 5);
        ASSERT_EQ(korvane_search_batch(index, data.data(), 8, 5, 32, threads, out.data(), scores.data(), counts.data()), 0);
        for (std::size_t q = 0; q < 8; ++q) EXPECT_EQ(counts[q], 5u);
        korvane_index_destroy(index);
    }
}

}  // namespace
}  // namespace korvane
