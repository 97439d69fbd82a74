#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/cpu.h"
#include "common/shape.h"
#include "encoding/lane_dot.h"
#include "encoding/lane_dot_kernels.h"
#include "support/test_support.h"

namespace korvane {
namespace {

constexpr SimdPath kSimdPaths[] = {SimdPath::Avx2, SimdPath::Avx512};

// Equal bits, except that any NaN equals any NaN: payload propagation is not
// part of the contract, NaN-ness is.
bool sameResult(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// Inputs that punish any change of order or fusion. Vector v is of kind
// v % 5: a wide exponent range (absorption and cancellation), tiny values
// whose products are subnormal, terms that cancel exactly within a lane,
// ordinary values with one infinity or NaN, and sparse signed zeros.
std::vector<float> adversarialVectors(std::size_t count, std::uint64_t seed, std::size_t n = kDim) {
    testing::TestRng rng(seed);
    const float specials[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(), 3e38f, -3e38f};
    std::vector<float> out(count * n);
    for (std::size_t v = 0; v < count; ++v) {
        float* x = &out[v * n];
        for (std::size_t j = 0; j < n; ++j) {
            const float sign = rng.next() & 1 ? -1.0f : 1.0f;
            switch (v % 5) {
                case 0: x[j] = sign * std::ldexp(rng.uniform(1.0f, 2.0f), int(rng.next() % 81) - 40); break;
                case 1: x[j] = rng.normal() * 1e-22f; break;
                case 2: x[j] = j % 8 < 4 ? sign * std::ldexp(1.0f, int(rng.next() % 41) - 20) : -x[j - 4]; break;
                case 3: x[j] = rng.normal(); break;
                default: x[j] = rng.next() % 4 == 0 ? sign * rng.normal() : sign * 0.0f; break;
            }
        }
        if (v % 5 == 3) x[rng.next() % n] = specials[rng.next() % 5];
    }
    return out;
}

TEST(LaneDot, LaneOrderMatters) {
    // 1 + 2^-24 is lost when added to 1 first but kept when the two small
    // terms meet first; the fixed lane order decides which.
    std::vector<float> a(kDim, 0.0f), b(kDim, 1.0f);
    a[0] = 1.0f;
    a[1] = 0x1p-24f;
    a[2] = 0x1p-24f;
    EXPECT_EQ(laneDotScalar(a.data(), b.data(), kDim), 1.0f);  // (1 + 2^-24) + 2^-24, each rounded to 1
    a[0] = 0x1p-24f;
    a[2] = 1.0f;
    EXPECT_EQ(laneDotScalar(a.data(), b.data(), kDim), 1.0f + 0x1p-23f);
}

void expectPathMatchesScalar(SimdPath path, const std::vector<float>& matrix, std::size_t rows,
                             const std::vector<float>& xs, std::size_t count, std::size_t n = kDim) {
    const LaneDotKernels& kernels = laneDotKernelsFor(path);
    std::vector<float> expected(rows * count), got(rows * count, -7.0f);
    matVecBlockScalar(matrix.data(), rows, xs.data(), count, expected.data(), n);
    kernels.mat_vec_block(matrix.data(), rows, xs.data(), count, got.data(), n);
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_TRUE(sameResult(got[i], expected[i]))
            << simdPathName(path) << " block: rows " << rows << " count " << count << " vector " << i / rows
            << " row " << i % rows << ": " << got[i] << " vs " << expected[i];
    for (std::size_t v = 0; v < count; ++v) {
        std::vector<float> single(rows, -7.0f);
        kernels.mat_vec(matrix.data(), rows, &xs[v * n], single.data(), n);
        for (std::size_t r = 0; r < rows; ++r) {
            ASSERT_TRUE(sameResult(single[r], expected[v * rows + r]))
                << simdPathName(path) << " matVec: rows " << rows << " vector " << v << " row " << r;
            ASSERT_TRUE(sameResult(kernels.lane_dot(&matrix[r * n], &xs[v * n], n), expected[v * rows + r]))
                << simdPathName(path) << " laneDot: row " << r << " vector " << v;
        }
    }
}

// The Gram-Schmidt step of the rotation, on rows that overflow, cancel and
// carry NaN.
void expectSubtractMatchesScalar(SimdPath path, const std::vector<float>& rows, std::size_t count) {
    const LaneDotKernels& kernels = laneDotKernelsFor(path);
    for (std::size_t v = 0; v + 1 < count; ++v) {
        const float d = rows[v * kDim + 7];
        std::vector<float> expected(&rows[v * kDim], &rows[v * kDim] + kDim);
        std::vector<float> got = expected;
        subtractScaledScalar(expected.data(), d, &rows[(v + 1) * kDim], kDim);
        kernels.subtract_scaled(got.data(), d, &rows[(v + 1) * kDim], kDim);
        for (std::size_t j = 0; j < kDim; ++j)
            ASSERT_TRUE(sameResult(got[j], expected[j])) << simdPathName(path) << " subtract: row " << v << " at " << j;
    }
}

TEST(LaneDot, EverySimdPathMatchesScalarBitForBit) {
    // Row counts cover the full-width loops and every remainder; vector
    // counts cover single vectors, partial groups, full and partial tiles.
    const std::size_t row_counts[] = {1, 3, 4, 5, 8, 15, 16, 17, 31, 256, 1024};
    const std::size_t vector_counts[] = {1, 2, 3, 4, 5, 7, 12, 16, 17, 33, 64, 65};
    int paths_run = 0;
    for (SimdPath path : kSimdPaths) {
        if (!simdPathSupported(path)) continue;
        ++paths_run;
        for (bool adversarial : {false, true}) {
            const std::vector<float> matrix =
                adversarial ? adversarialVectors(1024, 11) : testing::randomVectors(1024, 11);
            const std::vector<float> xs = adversarial ? adversarialVectors(65, 12) : testing::randomVectors(65, 12);
            expectSubtractMatchesScalar(path, xs, 65);
            for (std::size_t rows : row_counts)
                for (std::size_t count : vector_counts) {
                    if (rows * count > kDim * 65) continue;  // keeps the scalar reference cheap
                    expectPathMatchesScalar(path, matrix, rows, xs, count);
                }
        }
    }
    if (paths_run == 0) GTEST_SKIP() << "this CPU has no SIMD path";
}

TEST(LaneDot, EveryLengthMatchesScalarOnEveryPath) {
    // Rotation blocks run at every multiple of 16 up to 256 and vectors up
    // to 4096 floats; long vectors also shrink the block kernel's tiles.
    const std::size_t lengths[] = {16, 48, 208, 832, 4096};
    int paths_run = 0;
    for (SimdPath path : kSimdPaths) {
        if (!simdPathSupported(path)) continue;
        ++paths_run;
        for (std::size_t n : lengths) {
            const std::vector<float> matrix = adversarialVectors(20, 21, n);
            const std::vector<float> xs = adversarialVectors(19, 22, n);
            for (std::size_t rows : {1, 5, 16, 20})
                for (std::size_t count : {1, 3, 4, 8, 19}) expectPathMatchesScalar(path, matrix, rows, xs, count, n);
        }
    }
    if (paths_run == 0) GTEST_SKIP() << "this CPU has no SIMD path";
}

}  // namespace
}  // namespace korvane
