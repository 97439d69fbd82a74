// The raw-copy store chosen at creation and the re-score depth chosen per
// context: what insertion keeps in each store, and that every way of
// searching applies the same two-stage rule as a brute-force reference.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "encoding/projection.h"
#include "encoding/raw_copy.h"
#include "index/query.h"
#include "index_test_support.h"

namespace korvane {
namespace {

using testing::IndexHandle;
using testing::Results;

constexpr std::uint32_t kStores[] = {KORVANE_STORE_NONE, KORVANE_STORE_F32, KORVANE_STORE_I8};

std::vector<std::uint64_t> idsFor(std::size_t n) {
    std::vector<std::uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = 10 + 3 * i;
    return ids;
}

korvane_index* saveAndLoad(korvane_index* index) {
    char path[] = "/tmp/korvane-store-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    korvane_index* loaded = korvane_index_save(index, path) == 0 ? korvane_index_load(path) : nullptr;
    unlink(path);
    return loaded;
}

TEST(Store, InsertionKeepsTheCopiesOfTheChosenStoreSingleAndBatchAlike) {
    const std::size_t n = 300;
    const auto data = testing::randomVectors(n, 31);
    const auto ids = idsFor(n);
    for (std::uint32_t store : kStores) {
        IndexHandle single(48, 9, store), batch(48, 9, store);
        testing::addAll(single.handle, data, 10);
        ASSERT_EQ(korvane_index_add_batch(batch.handle, ids.data(), data.data(), n, 3), 0);
        const Index& s = single.get();
        ASSERT_TRUE(testing::rawStoresMatch(s)) << store;
        ASSERT_TRUE(testing::consistent(batch.get())) << store;
        std::vector<float> rotated(256);
        std::vector<std::int8_t> bytes(256);
        for (std::size_t i = 0; i < n; ++i) {
            rotateVector(s.rotation, data.data() + i * 256, rotated.data());
            if (store == KORVANE_STORE_F32) {
                ASSERT_EQ(std::memcmp(s.raw_f32.data + i * 256, rotated.data(), 1024), 0) << i;
            } else if (store == KORVANE_STORE_I8) {
                const float scale = quantizeRawI8(rotated.data(), bytes.data());
                ASSERT_EQ(std::memcmp(s.raw_i8.data + i * 256, bytes.data(), 256), 0) << i;
                ASSERT_EQ(std::memcmp(&s.raw_scales[i], &scale, 4), 0) << i;
            }
        }
        const Index& b = batch.get();
        EXPECT_TRUE(testing::sameItems(s.raw_f32, b.raw_f32) && testing::sameItems(s.raw_i8, b.raw_i8) &&
                    testing::sameItems(s.raw_scales, b.raw_scales));

        korvane_index* loaded = saveAndLoad(single.handle);
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(korvane_index_raw_store(loaded), store);
        EXPECT_TRUE(testing::consistent(*fromHandle(loaded)));
        korvane_index_destroy(loaded);
    }
}

// The rule written out plainly over every live vector, no graph: estimate
// all, keep the best max(factor * k, k) (all for factor 0) capped by ef,
// score those exactly, keep the best k. Also returns the kept first stage,
// best estimate first (every live vector when there are no raw copies and
// the estimates are the scores).
struct Reference {
    Results results;
    std::vector<std::uint64_t> first_stage_ids;
};

Reference bruteForce(const Index& index, const float* query, std::uint64_t ef, std::uint64_t factor,
                     std::size_t k) {
    SearchContext* context = createContext(index, ef);
    rotateVector(index.rotation, query, context->query_rotated);
    const LutSums sums = prepareEstimates(index, *context);
    std::vector<std::pair<float, std::uint64_t>> estimates;  // (score, node)
    for (std::uint64_t node = 0; node < index.payloads.len; ++node)
        if (!isRemoved(index, node)) estimates.push_back({estimateScore(index.payloads[node], context->lut, sums), node});
    auto best_first = [](const auto& a, const auto& b) { return a.first > b.first; };
    std::stable_sort(estimates.begin(), estimates.end(), best_first);
    std::vector<std::pair<float, std::uint64_t>> scored = estimates;
    if (index.raw_mode != RawMode::None) {
        std::size_t keep = factor == 0 ? estimates.size() : std::max<std::size_t>(factor * k, k);
        keep = std::min<std::size_t>({keep, ef, estimates.size()});
        scored.resize(keep);
        for (auto& [score, node] : scored) score = exactScore(index, node, context->query_rotated);
        std::stable_sort(scored.begin(), scored.end(), best_first);
    }
    destroyContext(context);
    Reference reference;
    for (std::size_t i = 0; i < scored.size() && i < k; ++i) {
        reference.results.ids.push_back(index.payloads[scored[i].second].id);
        reference.results.scores.push_back(scored[i].first);
    }
    const std::size_t first = index.raw_mode == RawMode::None ? estimates.size() : scored.size();
    for (std::size_t i = 0; i < first; ++i) reference.first_stage_ids.push_back(index.payloads[estimates[i].second].id);
    return reference;
}

Results fromArrays(const std::uint64_t* ids, const float* scores, std::uint64_t n) {
    return Results{std::vector<std::uint64_t>(ids, ids + n), std::vector<float>(scores, scores + n)};
}

Results singleSearch(korvane_index* index, const float* query, std::uint64_t ef, std::uint64_t factor,
                     std::uint64_t k) {
    korvane_context* context = korvane_context_create(index, ef);
    EXPECT_EQ(korvane_context_set_rerank(context, factor), 0);
    std::uint64_t ids[256];
    float scores[256];
    const std::uint64_t n = korvane_search(index, context, query, k, ids, scores);
    korvane_context_destroy(context);
    return fromArrays(ids, scores, n);
}

Results filteredSearch(korvane_index* index, const float* query, const std::vector<std::uint64_t>& allowed,
                       std::uint64_t k) {
    korvane_context* context = korvane_context_create(index, 1);
    std::uint64_t ids[256];
    float scores[256];
    const std::uint64_t n =
        korvane_search_filtered(index, context, query, allowed.data(), allowed.size(), k, ids, scores);
    korvane_context_destroy(context);
    return fromArrays(ids, scores, n);
}

// With ef above the node count the walk returns every node, so a search must
// be the brute-force rule exactly; filtered search over the kept first stage
// (in the order the search offers it) is the second stage by itself.
TEST(Store, EverySearchAgreesWithTheTwoStageReferenceForEveryStoreAndFactor) {
    const std::size_t n = 500, nq = 8, k = 10;
    const std::uint64_t ef = 512;
    const auto data = testing::randomVectors(n, 41);
    const auto queries = testing::randomVectors(nq, 42);
    const auto ids = idsFor(n);
    for (std::uint32_t store : kStores) {
        IndexHandle index(64, 17, store);
        ASSERT_EQ(korvane_index_add_batch(index.handle, ids.data(), data.data(), n, 2), 0);
        for (std::size_t i = 0; i < n; i += 9) ASSERT_EQ(korvane_index_remove(index.handle, ids[i]), 0);
        korvane_index* loaded = saveAndLoad(index.handle);
        ASSERT_NE(loaded, nullptr);
        std::size_t differs_from_full = 0;
        for (std::uint64_t factor : {0, 1, 4, 100}) {
            std::vector<std::uint64_t> batch_ids(nq * k), counts(nq);
            std::vector<float> batch_scores(nq * k);
            ASSERT_EQ(korvane_search_batch_rerank(index.handle, queries.data(), nq, k, ef, factor, 3,
                                                  batch_ids.data(), batch_scores.data(), counts.data()),
                      0);
            for (std::size_t q = 0; q < nq; ++q) {
                const float* query = queries.data() + q * 256;
                const Reference reference = bruteForce(index.get(), query, ef, factor, k);
                ASSERT_EQ(reference.results.ids.size(), k);
                const Results single = singleSearch(index.handle, query, ef, factor, k);
                const std::string where = "store " + std::to_string(store) + ", factor " + std::to_string(factor) +
                                          ", query " + std::to_string(q);
                EXPECT_TRUE(single == reference.results) << where;
                EXPECT_TRUE(fromArrays(&batch_ids[q * k], &batch_scores[q * k], counts[q]) == single) << where;
                EXPECT_TRUE(singleSearch(loaded, query, ef, factor, k) == single) << where;
                EXPECT_TRUE(filteredSearch(index.handle, query, reference.first_stage_ids, k) == single) << where;
                if (factor == 1) differs_from_full += !(single == singleSearch(index.handle, query, ef, 0, k));
            }
        }
        // The factor matters exactly when there are raw copies to re-score.
        if (store == KORVANE_STORE_NONE) EXPECT_EQ(differs_from_full, 0u);
        else EXPECT_GT(differs_from_full, 0u) << store;
        korvane_index_destroy(loaded);
    }
}

TEST(Store, TheFirstStageProductSaturates) {
    EXPECT_EQ(firstStageSize(10, 4, 64), 40u);
    EXPECT_EQ(firstStageSize(10, 4, 16), 16u);
    EXPECT_EQ(firstStageSize(10, 0, 64), 64u);
    EXPECT_EQ(firstStageSize(10, 1, 5), 5u);
    EXPECT_EQ(firstStageSize(4, std::uint64_t{1} << 62, 300), 300u);  // 4 * 2^62 would wrap to 0
    EXPECT_EQ(firstStageSize(3, UINT64_MAX, 300), 300u);
    EXPECT_EQ(firstStageSize(0, 7, 300), 0u);

    const auto data = testing::randomVectors(400, 51);
    IndexHandle index(48, 5, KORVANE_STORE_F32);
    testing::addAll(index.handle, data);
    const float* query = data.data() + 256 * 7;
    const Results all = singleSearch(index.handle, query, 200, 0, 4);
    EXPECT_EQ(all.ids.size(), 4u);
    EXPECT_TRUE(singleSearch(index.handle, query, 200, std::uint64_t{1} << 62, 4) == all);
    EXPECT_TRUE(singleSearch(index.handle, query, 200, UINT64_MAX, 4) == all);
    EXPECT_EQ(korvane_context_set_rerank(nullptr, 4), -1);
}

}  // namespace
}  // namespace korvane
