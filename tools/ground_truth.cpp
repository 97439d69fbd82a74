#include "ground_truth.h"

#include <algorithm>
#include <cstring>

#include "parallel.h"

namespace korvane::tool {

namespace {

// Base vectors are visited in tiles that stay in cache while every query of
// a thread's slice is scored against them.
constexpr std::uint64_t kTileRows = 256;
constexpr std::uint64_t kLanes = 16;
constexpr std::uint64_t kBlockRows = 8;

struct Best {
    float score;
    std::uint64_t row;
};

typedef float Lanes __attribute__((vector_size(kLanes * sizeof(float))));

#define KORVANE_LOAD_LANES(dst, src) std::memcpy(&(dst), (src), sizeof(Lanes))

float laneTotal(const float* lanes) {
    float total = 0;
    for (std::uint64_t l = 0; l < kLanes; ++l) total += lanes[l];
    return total;
}

// Scores kBlockRows rows with one independent lane sum per row, so the
// additions of different rows overlap; nothing is reassociated.
__attribute__((target_clones("avx512f", "avx2", "default")))
void scoreBlock(const float* query, const float* block, float* scores) {
    Lanes sums[kBlockRows] = {};
    for (std::uint64_t d = 0; d < kDim; d += kLanes) {
        Lanes q;
        KORVANE_LOAD_LANES(q, query + d);
        for (std::uint64_t r = 0; r < kBlockRows; ++r) {
            Lanes v;
            KORVANE_LOAD_LANES(v, block + r * kDim + d);
            sums[r] += q * v;
        }
    }
    for (std::uint64_t r = 0; r < kBlockRows; ++r) {
        float lanes[kLanes];
        std::memcpy(lanes, &sums[r], sizeof lanes);
        scores[r] = laneTotal(lanes);
    }
}

float scoreRow(const float* query, const float* row) {
    float lanes[kLanes] = {};
    for (std::uint64_t d = 0; d < kDim; d += kLanes)
        for (std::uint64_t l = 0; l < kLanes; ++l) lanes[l] += query[d + l] * row[d + l];
    return laneTotal(lanes);
}

// Same sums in the same order for block and tail rows.
void scoreTile(const float* query, const float* tile, std::uint64_t rows, float* scores) {
    std::uint64_t r = 0;
    for (; r + kBlockRows <= rows; r += kBlockRows) scoreBlock(query, tile + r * kDim, scores + r);
    for (; r < rows; ++r) scores[r] = scoreRow(query, tile + r * kDim);
}

// Keeps `best` sorted by descending score; an equal score never displaces an
// earlier (lower) row.
void offer(std::vector<Best>& best, std::uint64_t k, float score, std::uint64_t row) {
    if (best.size() == k && !(score > best.back().score)) return;
    if (best.size() == k) best.pop_back();
    auto at = std::upper_bound(best.begin(), best.end(), score,
                               [](float s, const Best& b) { return s > b.score; });
    best.insert(at, Best{score, row});
}

void searchSlice(const VectorSet& base, const VectorSet& queries, std::uint64_t k,
                 std::uint64_t begin, std::uint64_t end, std::vector<std::vector<Best>>& best) {
    float scores[kTileRows];
    for (std::uint64_t tile = 0; tile < base.count; tile += kTileRows) {
        const std::uint64_t rows = std::min(kTileRows, base.count - tile);
        for (std::uint64_t q = begin; q < end; ++q) {
            scoreTile(queries.row(q), base.row(tile), rows, scores);
            for (std::uint64_t r = 0; r < rows; ++r) offer(best[q], k, scores[r], tile + r);
        }
    }
}

}  // namespace

std::vector<std::vector<std::uint64_t>> exactTopK(const VectorSet& base, const VectorSet& queries,
                                                  std::uint64_t k, std::uint64_t threads) {
    std::vector<std::vector<Best>> best(queries.count);
    parallelFor(queries.count, threads, [&](std::uint64_t, std::uint64_t begin, std::uint64_t end) {
        searchSlice(base, queries, k, begin, end, best);
    });
    std::vector<std::vector<std::uint64_t>> rows(queries.count);
    for (std::uint64_t q = 0; q < queries.count; ++q)
        for (const Best& b : best[q]) rows[q].push_back(b.row);
    return rows;
}

}  // namespace korvane::tool
