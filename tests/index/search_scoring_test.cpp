// The scoring of a search against a plain, one-item-at-a-time transcription
// of the procedure: estimates offered to the first-stage heap in candidate
// order, drained, then exact scores offered in that order. Ties in the exact
// scores (duplicate vectors, zero vectors) make the order of offers visible,
// so any shortcut that reorders or skips work must still match bit for bit.
#include <gtest/gtest.h>

#include "encoding/projection.h"
#include "index/query.h"
#include "index/search.h"
#include "index_test_support.h"

namespace korvane {
namespace {

using testing::IndexHandle;

using Found = testing::Results;

Found viaSearch(Index& index, std::uint64_t ef, std::uint64_t factor, const float* query, std::size_t k) {
    SearchContext* context = createContext(index, ef);
    context->rerank_factor = factor;
    std::vector<SearchResult> results(k);
    const std::size_t n = search(index, *context, query, results.data(), k);
    destroyContext(context);
    Found found;
    for (std::size_t i = 0; i < n; ++i) {
        found.ids.push_back(results[i].id);
        found.scores.push_back(results[i].score);
    }
    return found;
}

Found viaTranscription(Index& index, std::uint64_t ef, std::uint64_t factor, const float* query, std::size_t k) {
    SearchContext* context = createContext(index, ef);
    rotateVector(index.rotation, query, context->query_rotated);
    const CandidateList candidates = walkGraph(index, *context, routeQuery(index, *context));
    const LutSums sums = prepareEstimates(index, *context);
    std::vector<SearchResult> results(k);
    ResultHeap heap{results.data(), k};
    if (!hasCompleteRawStore(index)) {
        for (std::size_t c = 0; c < candidates.len; ++c) {
            const std::uint64_t node = candidates.items[c].node;
            if (isRemoved(index, node)) continue;
            heap.offer({index.payloads[node].id, estimateScore(index.payloads[node], context->lut, sums)});
        }
    } else {
        // Factor 0 keeps every candidate; the walk returns at most ef of them.
        std::vector<SearchResult> first(factor == 0 ? ef : std::min<std::size_t>(std::max(factor * k, k), ef));
        ResultHeap rerank{first.data(), first.size()};
        for (std::size_t c = 0; c < candidates.len; ++c) {
            const std::uint64_t node = candidates.items[c].node;
            if (isRemoved(index, node)) continue;
            rerank.offer({node, estimateScore(index.payloads[node], context->lut, sums)});
        }
        const std::size_t count = rerank.drainIntoOrder();
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t node = first[i].id;
            heap.offer({index.payloads[node].id, exactScore(index, node, context->query_rotated)});
        }
    }
    const std::size_t n = heap.drainIntoOrder();
    destroyContext(context);
    Found found;
    for (std::size_t i = 0; i < n; ++i) {
        found.ids.push_back(results[i].id);
        found.scores.push_back(results[i].score);
    }
    return found;
}

// Every vector twice under two ids, a few zero vectors, some removals.
class SearchScoringTest : public ::testing::Test {
  protected:
    IndexHandle index{64, 5};
    std::vector<float> queries = testing::clusteredVectors(6, 6, 0.3f, 77);

    void SetUp() override {
        const std::vector<float> data = testing::clusteredVectors(300, 6, 0.3f, 77);
        testing::addAll(index.handle, data, 0);
        testing::addAll(index.handle, data, 1000);
        const std::vector<float> zeros(256 * 3, 0.0f);
        testing::addAll(index.handle, zeros, 5000);
        for (std::uint64_t id = 0; id < 300; id += 7) ASSERT_EQ(korvane_index_remove(index.handle, id), 0);
    }

    void expectTranscriptionMatches(const char* mode) {
        for (const std::uint64_t factor : {0, 1, 4, 100})
            for (const std::uint64_t ef : {1, 16, 40, 41, 200})
                for (const std::size_t k : {1, 10, 50})
                    for (std::size_t q = 0; q < 6; ++q) {
                        const float* query = queries.data() + q * 256;
                        const Found expected = viaTranscription(index.get(), ef, factor, query, k);
                        ASSERT_TRUE(viaSearch(index.get(), ef, factor, query, k) == expected)
                            << mode << ": factor " << factor << ", ef " << ef << ", k " << k << ", query " << q;
                    }
    }
};

TEST_F(SearchScoringTest, EightBitCopiesMatchTheTranscription) { expectTranscriptionMatches("8-bit"); }

TEST_F(SearchScoringTest, FloatCopiesMatchTheTranscription) {
    // What a loaded index in raw mode 1 holds: the rotated vectors themselves.
    Index& raw = index.get();
    const std::vector<float> data = testing::clusteredVectors(300, 6, 0.3f, 77);
    std::vector<float> rotated(256);
    for (std::size_t node = 0; node < raw.payloads.len; ++node) {
        const std::uint64_t id = raw.payloads[node].id;
        const float* vector = id >= 5000 ? nullptr : data.data() + (id % 1000) * 256;
        if (vector) rotateVector(raw.rotation, vector, rotated.data());
        else std::fill(rotated.begin(), rotated.end(), 0.0f);
        ASSERT_TRUE(raw.raw_f32.append(rotated.data(), 256));
    }
    raw.raw_mode = RawMode::F32;
    expectTranscriptionMatches("float");
}

TEST_F(SearchScoringTest, EstimatesAloneMatchTheTranscription) {
    index.get().raw_mode = RawMode::None;
    expectTranscriptionMatches("estimates");
}

// Ties decide which of two equal vectors is returned; a duplicate pair must
// come back together or in the order the heaps leave them, never merged.
TEST_F(SearchScoringTest, DuplicateVectorsAreBothReturned) {
    const Found found = viaSearch(index.get(), 64, 4, queries.data(), 50);
    std::size_t pairs = 0;
    for (std::size_t i = 0; i < found.ids.size(); ++i)
        for (std::size_t j = i + 1; j < found.ids.size(); ++j)
            pairs += found.ids[i] % 1000 == found.ids[j] % 1000 && found.ids[i] < 5000 &&
                     std::memcmp(&found.scores[i], &found.scores[j], sizeof(float)) == 0;
    EXPECT_GT(pairs, 0u);
}

}  // namespace
}  // namespace korvane
