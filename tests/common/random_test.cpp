#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/random.h"

namespace korvane {
namespace {

TEST(Random, SeedingTakesTheFirstFourSplitMixOutputs) {
    std::uint64_t state = 0;
    EXPECT_EQ(splitMix64Next(state), 0xe220a8397b1dcdafULL);
    EXPECT_EQ(splitMix64Next(state), 0x6e789e6aa1b965f4ULL);
    const Xoshiro256 rng = seedXoshiro(0);
    EXPECT_EQ(rng.s[0], 0xe220a8397b1dcdafULL);
    EXPECT_EQ(rng.s[1], 0x6e789e6aa1b965f4ULL);
    EXPECT_EQ(rng.s[2], 0x06c45d188009454fULL);
    EXPECT_EQ(rng.s[3], 0xf88bb8a8724c81ecULL);
}

TEST(Random, XoshiroStepsFromAKnownState) {
    Xoshiro256 rng{{1, 2, 3, 4}};
    EXPECT_EQ(nextU64(rng), 0x2800001ULL);
    EXPECT_EQ(nextU64(rng), 0x3800067ULL);
    EXPECT_EQ(nextU64(rng), 0xcc00003800067ULL);
}

TEST(Random, ZigguratTablesMatchTheirTellingRows) {
    const double* x = zigguratX();
    const double* f = zigguratF();
    const auto near = [](double got, double want) { return std::fabs(got - want) <= 1e-12 * std::fabs(want); };
    EXPECT_TRUE(near(x[0], 3.91075795953709)) << x[0];
    EXPECT_EQ(x[1], 3.654152885361009);
    EXPECT_TRUE(near(x[2], 3.4492782985609645)) << x[2];
    EXPECT_TRUE(near(x[255], 0.21524189591328857)) << x[255];
    EXPECT_EQ(x[256], 0.0);
    EXPECT_TRUE(near(f[0], 0.0004774677645866553)) << f[0];
    EXPECT_TRUE(near(f[1], 0.001260285930498598)) << f[1];
    EXPECT_TRUE(near(f[255], 0.9771017012827282)) << f[255];
    EXPECT_EQ(f[256], 1.0);
    for (int i = 1; i <= 256; ++i) ASSERT_LT(x[i], x[i - 1]) << i;
}

// The exponent comes from the leading zeros of the draw, the mantissa from
// its low 52 bits, so U lies in [2^-(lz+1), 2^-lz).
TEST(Random, UniformDoubleUsesOneDrawAndLiesInItsBinade) {
    Xoshiro256 rng = seedXoshiro(99);
    for (int i = 0; i < 10000; ++i) {
        Xoshiro256 copy = rng;
        const std::uint64_t r = nextU64(copy);
        const double u = uniformDouble(rng);
        const int lz = std::countl_zero(r);
        if (lz >= 12) continue;  // the rare extended case, tested below
        ASSERT_EQ(std::memcmp(&copy, &rng, sizeof rng), 0) << "more than one draw used";
        ASSERT_GE(u, std::ldexp(1.0, -(lz + 1)));
        ASSERT_LT(u, std::ldexp(1.0, -lz));
        ASSERT_EQ(std::bit_cast<std::uint64_t>(u) & ((1ULL << 52) - 1), r & ((1ULL << 52) - 1));
    }
}

TEST(Random, UniformDoubleExtendsTheExponentWhenTheTopBitsAreZero) {
    // Find a state whose next draw has its top 12 bits clear (1 in 4096).
    Xoshiro256 rng{};
    for (std::uint64_t seed = 0;; ++seed) {
        rng = seedXoshiro(seed);
        Xoshiro256 probe = rng;
        if (nextU64(probe) >> 52 == 0) break;
    }
    Xoshiro256 copy = rng;
    const std::uint64_t r = nextU64(copy);
    const std::uint64_t w = nextU64(copy);
    ASSERT_NE(w, 0u);
    const double u = uniformDouble(rng);
    EXPECT_EQ(std::memcmp(&copy, &rng, sizeof rng), 0) << "expected exactly two draws";
    const std::uint64_t lz = 12 + std::countl_zero(w);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(u), ((1022 - lz) << 52) | (r & ((1ULL << 52) - 1)));
    EXPECT_LT(u, 0x1p-12);
}

TEST(Random, NormalDrawsHaveTheMomentsAndTailOfAStandardNormal) {
    Xoshiro256 rng = seedXoshiro(2024);
    constexpr int kDraws = 1 << 20;
    double sum = 0, sum_sq = 0;
    int within_one = 0, beyond_tail = 0;
    for (int i = 0; i < kDraws; ++i) {
        const double x = normalDraw(rng);
        ASSERT_TRUE(std::isfinite(x));
        sum += x;
        sum_sq += x * x;
        within_one += std::fabs(x) < 1.0;
        beyond_tail += std::fabs(x) > 3.654152885361009;
    }
    const double mean = sum / kDraws;
    EXPECT_NEAR(mean, 0.0, 0.005);
    EXPECT_NEAR(sum_sq / kDraws - mean * mean, 1.0, 0.005);
    EXPECT_NEAR(double(within_one) / kDraws, 0.682689, 0.002);
    // P(|x| > R) = 2.58e-4: about 270 of 2^20 draws come from the tail.
    EXPECT_GT(beyond_tail, 200);
    EXPECT_LT(beyond_tail, 350);
}

}  // namespace
}  // namespace korvane
