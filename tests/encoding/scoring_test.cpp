#include "encoding/scoring.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "encoding/lane_dot.h"
#include "encoding/quantizer.h"
#include "support/test_support.h"

namespace korvane {
namespace {

constexpr std::size_t kCounts[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 100, 257};
constexpr SimdPath kPaths[] = {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512};

std::vector<float> unitVectors(std::size_t count, std::uint64_t seed) {
    std::vector<float> xs = testing::randomVectors(count, seed);
    for (std::size_t v = 0; v < count; ++v) {
        float* x = xs.data() + v * kDim;
        double norm = 0.0;
        for (std::size_t j = 0; j < kDim; ++j) norm += double(x[j]) * x[j];
        for (std::size_t j = 0; j < kDim; ++j) x[j] = float(x[j] / std::sqrt(norm));
    }
    return xs;
}

std::vector<TurboQuantPayload> encodeAll(const std::vector<float>& xs, const float* mean = nullptr,
                                         const float* sd = nullptr) {
    std::vector<TurboQuantPayload> out(xs.size() / kDim);
    for (std::size_t v = 0; v < out.size(); ++v) {
        out[v] = encodeWithCalibration(v, xs.data() + v * kDim, mean, sd);
    }
    return out;
}

double dot(const float* a, const float* b) {
    double s = 0.0;
    for (std::size_t j = 0; j < kDim; ++j) s += double(a[j]) * b[j];
    return s;
}

// Equal bits, or both NaN (NaN payload bits may legitimately differ).
bool sameScore(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

struct Query {
    float scoring[kDim];
    float lut[kLutSize];
    LutSums sums;
};

Query prepareQuery(const float* rotated, const float* mean = nullptr, const float* sd = nullptr) {
    Query q{};
    quantizeQuery(rotated, q.scoring, kDim);
    q.sums = buildLut(q.scoring, mean, sd, q.lut);
    return q;
}

TEST(QueryQuantization, StoredVectorQuantizesToItsReconstruction) {
    const std::vector<float> xs = testing::randomVectors(10, 21);
    for (std::size_t v = 0; v < 10; ++v) {
        const float* x = xs.data() + v * kDim;
        const TurboQuantPayload p = encodeWithCalibration(v, x, nullptr, nullptr);
        const Query q = prepareQuery(x);
        double self = 0.0;
        for (std::size_t j = 0; j < kDim; ++j) {
            const float product = kQuantizerLevels[payloadCode(p, j)] * p.sigma;
            const float expected = product + p.mu;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(q.scoring[j]), std::bit_cast<std::uint32_t>(expected));
            self += double(expected) * expected;
        }
        const float est = estimateScore(p, q.lut, q.sums);
        EXPECT_NEAR(est, p.gamma * self, 1e-4 * self);
        EXPECT_NEAR(est, dot(x, x), 0.03 * dot(x, x));
    }
}

TEST(QueryQuantization, ZeroQueryScoresPracticallyZero) {
    const std::vector<float> zero(kDim, 0.0f);
    const Query q = prepareQuery(zero.data());
    const float component = kQuantizerLevels[4] * static_cast<float>(1e-12);
    for (std::size_t j = 0; j < kDim; ++j) ASSERT_EQ(q.scoring[j], component);
    for (const TurboQuantPayload& p : encodeAll(unitVectors(20, 23))) {
        EXPECT_LT(std::fabs(estimateScore(p, q.lut, q.sums)), 1e-9f);
    }
}

TEST(Estimate, CalibratedTableGivesTheInnerProductWithTheReconstruction) {
    testing::TestRng rng(29);
    std::vector<float> mean(kDim), sd(kDim);
    for (std::size_t j = 0; j < kDim; ++j) {
        mean[j] = rng.uniform(-1.0f, 1.0f);
        sd[j] = rng.uniform(0.2f, 3.0f);
    }
    const std::vector<float> xs = testing::randomVectors(10, 31);
    const std::vector<float> query = testing::randomVectors(1, 37);
    const Query q = prepareQuery(query.data(), mean.data(), sd.data());
    for (const TurboQuantPayload& p : encodeAll(xs, mean.data(), sd.data())) {
        double expected = 0.0, magnitude = 0.0;
        for (std::size_t j = 0; j < kDim; ++j) {
            const double r = (double(kQuantizerLevels[payloadCode(p, j)]) * p.sigma + p.mu) * sd[j] + mean[j];
            expected += q.scoring[j] * r;
            magnitude += std::fabs(q.scoring[j] * r);
        }
        EXPECT_NEAR(estimateScore(p, q.lut, q.sums), p.gamma * expected, 1e-5 * magnitude * p.gamma);
    }
}

TEST(ExactScore, Int8BytesWidenExactlyAndTheScaleAppliesOnce) {
    const std::vector<float> query = testing::randomVectors(1, 41);
    testing::TestRng rng(43);
    for (int item = 0; item < 50; ++item) {
        std::int8_t raw[kDim];
        float widened[kDim];
        for (std::size_t j = 0; j < kDim; ++j) {
            raw[j] = static_cast<std::int8_t>(rng.next() & 0xff);
            widened[j] = raw[j];
        }
        const float scale = rng.uniform(1e-3f, 0.1f);
        const float expected = laneDot(query.data(), widened) * scale;
        ASSERT_TRUE(sameScore(exactScoreI8(query.data(), raw, scale), expected)) << "item " << item;
    }
    // The extremes of a byte survive the widening.
    std::vector<float> unit(kDim, 0.0f);
    unit[0] = 1.0f;
    unit[1] = 1.0f;
    std::int8_t raw[kDim] = {};
    raw[0] = -128;
    raw[1] = 127;
    raw[2] = 100;
    EXPECT_EQ(exactScoreI8(unit.data(), raw, 0.5f), -0.5f);
}

// Payloads the block scorers must treat exactly like the single scorer:
// ordinary vectors, the degenerate zero and NaN ones, and slots whose unused
// top byte is not clear.
std::vector<TurboQuantPayload> blockPayloads(const float* mean, const float* sd) {
    std::vector<float> xs = testing::randomVectors(300, 47);
    std::fill(xs.begin() + 5 * kDim, xs.begin() + 6 * kDim, 0.0f);
    xs[7 * kDim + 3] = std::numeric_limits<float>::quiet_NaN();
    std::vector<TurboQuantPayload> payloads = encodeAll(xs, mean, sd);
    for (std::size_t v = 0; v < payloads.size(); v += 3) {
        for (std::uint32_t& group : payloads[v].codes) group |= 0xa5000000u;
    }
    return payloads;
}

class BlockScorers : public ::testing::Test {};

TEST_F(BlockScorers, EstimatesMatchTheSingleScorerOnEveryPath) {
    testing::TestRng rng(53);
    std::vector<float> mean(kDim), sd(kDim);
    for (std::size_t j = 0; j < kDim; ++j) {
        mean[j] = rng.uniform(-1.0f, 1.0f);
        sd[j] = rng.uniform(0.2f, 3.0f);
    }
    const std::vector<float> query = testing::randomVectors(1, 59);
    for (const bool calibrated : {false, true}) {
        const float* m = calibrated ? mean.data() : nullptr;
        const float* s = calibrated ? sd.data() : nullptr;
        const std::vector<TurboQuantPayload> payloads = blockPayloads(m, s);
        const Query q = prepareQuery(query.data(), m, s);
        // Scattered candidates, some repeated.
        std::vector<const TurboQuantPayload*> order;
        for (std::size_t k = 0; k < 300; ++k) order.push_back(&payloads[rng.next() % payloads.size()]);
        order[0] = &payloads[5];
        order[1] = &payloads[7];
        for (const SimdPath path : kPaths) {
            if (!simdPathSupported(path)) continue;
            for (const std::size_t count : kCounts) {
                std::vector<float> out(count + 1, -7.0f);
                scoringKernelsFor(path).estimate_block(order.data(), count, q.lut, q.sums, out.data(), kCodeGroups);
                for (std::size_t k = 0; k < count; ++k) {
                    ASSERT_TRUE(sameScore(out[k], estimateScore(*order[k], q.lut, q.sums)))
                        << simdPathName(path) << " count " << count << " item " << k;
                }
                EXPECT_EQ(out[count], -7.0f) << "wrote past the block";
            }
        }
    }
}

TEST_F(BlockScorers, ExactInt8ScoresMatchTheSingleScorerOnEveryPath) {
    testing::TestRng rng(61);
    std::vector<float> query = testing::randomVectors(1, 67);
    query[9] = 1e30f;  // large products still round the same way
    constexpr std::size_t kItems = 300;
    std::vector<std::int8_t> raws(kItems * kDim);
    for (std::int8_t& b : raws) b = static_cast<std::int8_t>(rng.next() & 0xff);
    std::vector<const std::int8_t*> order(kItems);
    std::vector<float> scales(kItems);
    for (std::size_t k = 0; k < kItems; ++k) {
        order[k] = raws.data() + (rng.next() % kItems) * kDim;
        scales[k] = rng.uniform(1e-4f, 1e-2f);
    }
    for (const SimdPath path : kPaths) {
        if (!simdPathSupported(path)) continue;
        for (const std::size_t count : kCounts) {
            std::vector<float> out(count + 1, -7.0f);
            scoringKernelsFor(path).exact_i8_block(query.data(), order.data(), scales.data(), count, out.data(), kDim);
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_TRUE(sameScore(out[k], exactScoreI8(query.data(), order[k], scales[k])))
                    << simdPathName(path) << " count " << count << " item " << k;
            }
            EXPECT_EQ(out[count], -7.0f) << "wrote past the block";
        }
    }
}

// Estimated scores must track true inner products; an encoder or table with
// a wrong level, threshold or bit position misses by far more than this.
TEST(Estimate, TracksExactInnerProductsOfUnitVectors) {
    constexpr std::size_t kStored = 400, kQueries = 20;
    const std::vector<float> stored = unitVectors(kStored, 71);
    const std::vector<TurboQuantPayload> payloads = encodeAll(stored);
    std::vector<float> queries = unitVectors(kQueries, 73);
    // Half the queries lie near a stored vector, so high scores are covered.
    testing::TestRng rng(79);
    for (std::size_t v = 0; v < kQueries / 2; ++v) {
        for (std::size_t j = 0; j < kDim; ++j) {
            queries[v * kDim + j] = stored[v * kDim + j] + 0.03f * rng.normal();
        }
    }
    double abs_error = 0.0, abs_exact = 0.0;
    for (std::size_t v = 0; v < kQueries; ++v) {
        const float* query = queries.data() + v * kDim;
        const Query q = prepareQuery(query);
        for (std::size_t k = 0; k < kStored; ++k) {
            const double exact = dot(query, stored.data() + k * kDim);
            abs_error += std::fabs(estimateScore(payloads[k], q.lut, q.sums) - exact);
            abs_exact += std::fabs(exact);
        }
    }
    const double mae = abs_error / (kStored * kQueries);
    std::printf("mean absolute error %.5f (mean |inner product| %.5f)\n", mae,
                abs_exact / (kStored * kQueries));
    EXPECT_LT(mae, 0.02);
}

}  // namespace
}  // namespace korvane
