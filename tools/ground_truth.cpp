#include "ground_truth.h"

#include <algorithm>
#include <cmath>
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

// One lane group of a row's sum: products, or for a distance squared
// differences (summed directly rather than as |q|^2 - 2 q.v + |v|^2, which
// cancels badly between near neighbours).
template <bool kDistance>
[[gnu::always_inline]] inline void accumulate(Lanes& sum, const Lanes& q, const Lanes& v) {
    if constexpr (kDistance) {
        const Lanes diff = q - v;
        sum += diff * diff;
    } else {
        sum += q * v;
    }
}

// Scores kBlockRows rows with one independent lane sum per row, so the
// additions of different rows overlap; nothing is reassociated. Components
// past the last whole lane group count as zero-padded lanes.
template <bool kDistance>
[[gnu::always_inline]] inline void scoreBlockWith(const float* query, const float* block, std::uint64_t dim,
                                                  float* scores) {
    Lanes sums[kBlockRows] = {};
    std::uint64_t d = 0;
    for (; d + kLanes <= dim; d += kLanes) {
        Lanes q;
        KORVANE_LOAD_LANES(q, query + d);
        for (std::uint64_t r = 0; r < kBlockRows; ++r) {
            Lanes v;
            KORVANE_LOAD_LANES(v, block + r * dim + d);
            accumulate<kDistance>(sums[r], q, v);
        }
    }
    if (d < dim) {
        float padded[kLanes] = {};
        std::memcpy(padded, query + d, (dim - d) * sizeof(float));
        Lanes q;
        KORVANE_LOAD_LANES(q, padded);
        for (std::uint64_t r = 0; r < kBlockRows; ++r) {
            std::memcpy(padded, block + r * dim + d, (dim - d) * sizeof(float));
            Lanes v;
            KORVANE_LOAD_LANES(v, padded);
            accumulate<kDistance>(sums[r], q, v);
        }
    }
    for (std::uint64_t r = 0; r < kBlockRows; ++r) {
        float lanes[kLanes];
        std::memcpy(lanes, &sums[r], sizeof lanes);
        scores[r] = kDistance ? -laneTotal(lanes) : laneTotal(lanes);
    }
}

__attribute__((target_clones("avx512f", "avx2", "default")))
void scoreBlock(const float* query, const float* block, std::uint64_t dim, bool distance, float* scores) {
    if (distance) scoreBlockWith<true>(query, block, dim, scores);
    else scoreBlockWith<false>(query, block, dim, scores);
}

float scoreRow(const float* query, const float* row, std::uint64_t dim, bool distance) {
    float lanes[kLanes] = {};
    for (std::uint64_t d = 0; d < dim; d += kLanes)
        for (std::uint64_t l = 0; l < kLanes && d + l < dim; ++l) {
            const float q = query[d + l], v = row[d + l];
            lanes[l] += distance ? (q - v) * (q - v) : q * v;
        }
    return distance ? -laneTotal(lanes) : laneTotal(lanes);
}

// Same sums in the same order for block and tail rows.
void scoreTile(const float* query, const float* tile, std::uint64_t rows, std::uint64_t dim, bool distance,
               float* scores) {
    std::uint64_t r = 0;
    for (; r + kBlockRows <= rows; r += kBlockRows) scoreBlock(query, tile + r * dim, dim, distance, scores + r);
    for (; r < rows; ++r) scores[r] = scoreRow(query, tile + r * dim, dim, distance);
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

void searchSlice(const VectorSet& base, const VectorSet& queries, std::uint64_t k, bool distance,
                 std::uint64_t begin, std::uint64_t end, std::vector<std::vector<Best>>& best) {
    float scores[kTileRows];
    for (std::uint64_t tile = 0; tile < base.count; tile += kTileRows) {
        const std::uint64_t rows = std::min(kTileRows, base.count - tile);
        for (std::uint64_t q = begin; q < end; ++q) {
            scoreTile(queries.row(q), base.row(tile), rows, base.dim, distance, scores);
            for (std::uint64_t r = 0; r < rows; ++r) offer(best[q], k, scores[r], tile + r);
        }
    }
}

// Unit-length copies, for cosine similarity as an inner product; a zero
// vector stays zero.
VectorSet normalised(const VectorSet& set, std::uint64_t threads) {
    VectorSet unit = set;
    parallelFor(set.count, threads, [&](std::uint64_t, std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) {
            float* v = unit.values.data() + i * set.dim;
            double sum = 0;
            for (std::uint64_t d = 0; d < set.dim; ++d) sum += double(v[d]) * v[d];
            const double scale = sum > 0 ? 1.0 / std::sqrt(sum) : 0.0;
            for (std::uint64_t d = 0; d < set.dim; ++d) v[d] = static_cast<float>(v[d] * scale);
        }
    });
    return unit;
}

}  // namespace

std::vector<std::vector<std::uint64_t>> exactTopK(const VectorSet& base, const VectorSet& queries,
                                                  std::uint64_t k, std::uint64_t threads, std::uint32_t metric) {
    if (metric == KORVANE_METRIC_COSINE)
        return exactTopK(normalised(base, threads), normalised(queries, threads), k, threads, KORVANE_METRIC_IP);
    const bool distance = metric == KORVANE_METRIC_L2;
    std::vector<std::vector<Best>> best(queries.count);
    parallelFor(queries.count, threads, [&](std::uint64_t, std::uint64_t begin, std::uint64_t end) {
        searchSlice(base, queries, k, distance, begin, end, best);
    });
    std::vector<std::vector<std::uint64_t>> rows(queries.count);
    for (std::uint64_t q = 0; q < queries.count; ++q)
        for (const Best& b : best[q]) rows[q].push_back(b.row);
    return rows;
}

}  // namespace korvane::tool
