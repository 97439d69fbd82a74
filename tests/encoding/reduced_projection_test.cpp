#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/cpu.h"
#include "encoding/lane_dot.h"
#include "encoding/projection.h"
#include "encoding/reduced_projection.h"
#include "support/test_support.h"

namespace korvane {
namespace {

using Vector = std::vector<float>;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kTiniest = std::numeric_limits<float>::denorm_min();

struct Reduced {
    Vector matrix;
    ReducedProjection reduced;
    explicit Reduced(Vector m) : matrix(std::move(m)) {
        EXPECT_TRUE(allocateReducedProjection(reduced));
        deriveReducedProjection(matrix.data(), reduced);
    }
    ~Reduced() { deinit(reduced); }
};

Vector seededProjection() {
    Vector m(kProjectionFloats);
    generateProjection(m.data(), 7);
    return m;
}

RoutingCode exactCode(const Vector& matrix, const Vector& y) {
    Vector p(kRoutingBits);
    laneDotKernelsFor(SimdPath::Scalar).mat_vec(matrix.data(), kRoutingBits, y.data(), p.data(), kDim);
    return routingCodeOf(p.data());
}

// What the reduced copy loses on a row: m - s q with the copy's rounding.
Vector levelError(const float* row) {
    double largest = 0;
    for (std::size_t j = 0; j < kDim; ++j) largest = std::max(largest, std::fabs(double(row[j])));
    const float scale = float(largest / kMatrixLevelLimit);
    Vector error(kDim);
    for (std::size_t j = 0; j < kDim; ++j) {
        const double q = std::clamp(std::nearbyint(row[j] / double(scale)), -2047.0, 2047.0);
        error[j] = float(row[j] - double(scale) * q);
    }
    return error;
}

void orthogonalize(Vector& z, const float* row) {
    double dot = 0, norm = 0;
    for (std::size_t j = 0; j < kDim; ++j) dot += double(row[j]) * z[j], norm += double(row[j]) * row[j];
    for (std::size_t j = 0; j < kDim; ++j) z[j] = float(z[j] - dot / norm * row[j]);
}

// Vectors made so that many projections fall near or onto zero, together
// with ordinary ones, at every magnitude the floats have.
std::vector<Vector> hardVectors(const Vector& matrix) {
    testing::TestRng rng(11);
    std::vector<Vector> out;
    auto gaussian = [&] {
        Vector y(kDim);
        for (float& v : y) v = rng.normal();
        return y;
    };
    for (int i = 0; i < 8; ++i) out.push_back(gaussian());
    const Vector clustered = testing::clusteredVectors(8, 2, 0.05f, 3);
    for (int i = 0; i < 8; ++i) out.emplace_back(clustered.begin() + i * kDim, clustered.begin() + (i + 1) * kDim);
    // Orthogonal to one row (in double, then rounded), so that its exact
    // projection is a few ulps of rounding noise, yet along that row's
    // rounding error in the reduced copy, so that the estimate is off by as
    // much as the bound allows; nudging one component by an ulp either way
    // moves the projection across zero.
    for (std::size_t b : {0u, 1u, 77u, 511u, 1023u}) {
        Vector z = levelError(matrix.data() + b * kDim);
        orthogonalize(z, matrix.data() + b * kDim);
        out.push_back(z);
        for (float direction : {kInf, -kInf}) {
            Vector nudged = z;
            nudged[b % kDim] = std::nextafter(nudged[b % kDim], direction);
            out.push_back(nudged);
        }
        Vector plain = gaussian();
        orthogonalize(plain, matrix.data() + b * kDim);
        out.push_back(plain);
    }
    // One non-zero component: projections are single products, exactly +0
    // or -0 for a signed zero.
    for (float v : {1.0f, -3.5f, 0.0f, -0.0f, kTiniest, -kTiniest}) {
        Vector y(kDim, 0.0f);
        y[5] = v;
        out.push_back(y);
    }
    out.emplace_back(kDim, -0.0f);
    // Every magnitude: huge (up to where products overflow), tiny, subnormal.
    const std::size_t base = out.size();
    for (float scale : {1e30f, 3e36f, 1e38f, 1e-20f, 1e-38f, 1e-42f, 1e-45f})
        for (std::size_t i = 0; i < base; i += 3) {
            Vector y = out[i];
            for (float& v : y) v *= scale;
            out.push_back(y);
        }
    // Non-finite components take the exact path.
    for (float bad : {kNaN, kInf, -kInf}) {
        Vector y = out[0];
        y[100] = bad;
        out.push_back(y);
    }
    return out;
}

// Rows a loaded file might hold: exact cancellations, zeros, subnormals,
// huge and non-finite entries, next to ordinary rows.
Vector strangeMatrix() {
    Vector m = seededProjection();
    auto row = [&](std::size_t b) { return m.data() + b * kDim; };
    for (std::size_t j = 0; j < kDim; ++j) {
        row(0)[j] = j % 2 ? 1.0f : -1.0f;          // cancels exactly against equal components
        row(1)[j] = 0.0f;
        row(2)[j] = kTiniest * float(j % 7);
        row(3)[j] = (j % 3 ? 1e38f : -1e38f);
        row(4)[j] = j == 9 ? kNaN : 1.0f;
        row(5)[j] = j == 9 ? kInf : 1.0f;
        row(6)[j] = j == 0 ? 1.0f : 1e-30f;        // one entry dominates the scale
    }
    return m;
}

void expectFastEqualsExact(const Reduced& r, const std::vector<Vector>& vectors) {
    Vector scratch(kRoutingBits);
    for (SimdPath path : {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512}) {
        if (!simdPathSupported(path)) continue;
        for (std::size_t v = 0; v < vectors.size(); ++v) {
            const RoutingCode fast = verifiedRoutingCodeOn(path, r.matrix.data(), r.reduced, vectors[v].data(), scratch.data());
            const RoutingCode exact = exactCode(r.matrix, vectors[v]);
            for (std::size_t w = 0; w < kRoutingWords; ++w)
                ASSERT_EQ(fast.words[w], exact.words[w]) << simdPathName(path) << " vector " << v << " word " << w;
        }
    }
}

TEST(ReducedProjection, CodesEqualTheExactCodesOnEveryPath) {
    const Reduced seeded(seededProjection());
    expectFastEqualsExact(seeded, hardVectors(seeded.matrix));
    const Reduced strange(strangeMatrix());
    std::vector<Vector> vectors = hardVectors(strange.matrix);
    vectors.emplace_back(kDim, 1.0f);  // row 0 projects to exactly 0
    expectFastEqualsExact(strange, vectors);
}

TEST(ReducedProjection, DecisionAtTheBoundIsLeftToTheExactKernel) {
    QueryLevels query{};
    query.norm_units = 1.0f;
    bool positive = false, undecided = false;
    const auto decide = [&](std::int32_t estimate, float coefficient) {
        decideRow(estimate, coefficient, 0.0f, 0.0f, query, positive, undecided);
    };
    decide(100, 100.0f);
    EXPECT_TRUE(!positive && undecided);
    decide(-100, 100.0f);
    EXPECT_TRUE(!positive && undecided);
    decide(101, 100.0f);
    EXPECT_TRUE(positive && !undecided);
    decide(-101, 100.0f);
    EXPECT_TRUE(!positive && !undecided);
    decide(1 << 30, kInf);
    EXPECT_TRUE(!positive && undecided);
    decide(1 << 30, kNaN);
    EXPECT_TRUE(!positive && undecided);
}

TEST(ReducedProjection, FewRowsNeedTheExactKernel) {
    const Reduced r(seededProjection());
    const Vector ys = testing::randomVectors(64, 5);
    std::size_t undecided = 0;
    for (std::size_t v = 0; v < 64; ++v) undecided += undecidedRows(r.reduced, ys.data() + v * kDim);
    EXPECT_LT(undecided, 64 * kRoutingBits / 20) << "the bound is too loose to save work";
    Vector with_nan(ys.begin(), ys.begin() + kDim);
    with_nan[3] = kNaN;
    EXPECT_EQ(undecidedRows(r.reduced, with_nan.data()), kRoutingBits);
}

}  // namespace
}  // namespace korvane
