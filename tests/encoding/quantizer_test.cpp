#include "encoding/quantizer.h"
#include "encoding/raw_copy.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "support/test_support.h"

namespace korvane {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kMinSigma = static_cast<float>(1e-12);

// x̂_j = (level * sigma + mu) * std_j + mean_j, in double for checking.
std::vector<double> reconstruction(const TurboQuantPayload& p, const float* mean, const float* sd) {
    std::vector<double> r(kDim);
    for (std::size_t j = 0; j < kDim; ++j) {
        double v = double(kQuantizerLevels[payloadCode(p, j)]) * p.sigma + p.mu;
        if (mean != nullptr) v = v * sd[j] + mean[j];
        r[j] = v;
    }
    return r;
}

double relativeError(const float* x, const std::vector<double>& r) {
    double err = 0.0, norm = 0.0;
    for (std::size_t j = 0; j < kDim; ++j) {
        err += (x[j] - r[j]) * (x[j] - r[j]);
        norm += double(x[j]) * x[j];
    }
    return err / norm;
}

void expectEveryCode(const TurboQuantPayload& p, unsigned code) {
    for (std::size_t j = 0; j < kDim; ++j) ASSERT_EQ(payloadCode(p, j), code) << "dimension " << j;
}

void expectSamePayload(const TurboQuantPayload& a, const TurboQuantPayload& b) {
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(0, std::memcmp(a.codes, b.codes, sizeof a.codes));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.sigma), std::bit_cast<std::uint32_t>(b.sigma));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.mu), std::bit_cast<std::uint32_t>(b.mu));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.gamma), std::bit_cast<std::uint32_t>(b.gamma));
}

TEST(Quantizer, ThresholdsTakeTheHigherCode) {
    for (unsigned k = 0; k < 7; ++k) {
        const float t = kQuantizerThresholds[k];
        EXPECT_EQ(quantizerCode(t), k + 1) << "threshold " << t;
        EXPECT_EQ(quantizerCode(std::nextafter(t, -kInf)), k) << "just below " << t;
    }
    EXPECT_EQ(quantizerCode(-0.0f), 4u);
    EXPECT_EQ(quantizerCode(-kInf), 0u);
    EXPECT_EQ(quantizerCode(kInf), 7u);
    EXPECT_EQ(quantizerCode(kNan), 7u);
}

TEST(Quantizer, MaxIgnoresNanOnEitherSide) {
    EXPECT_EQ(maxIgnoringNan(std::nan(""), 0.0), 0.0);
    EXPECT_EQ(maxIgnoringNan(1e-12, std::nan("")), 1e-12);
    EXPECT_EQ(maxIgnoringNan(-1.0, 0.0), 0.0);
}

TEST(Encode, ConstantAndZeroVectorsGetTheMinimumSigma) {
    std::vector<float> half(kDim, 0.5f);
    const TurboQuantPayload p = encodeWithCalibration(9, half.data(), nullptr, nullptr);
    EXPECT_EQ(p.id, 9u);
    EXPECT_EQ(p.sigma, kMinSigma);
    EXPECT_EQ(p.mu, 0.5f);
    EXPECT_EQ(p.gamma, 1.0f);
    expectEveryCode(p, 4);

    std::vector<float> zero(kDim, 0.0f);
    const TurboQuantPayload z = encodeWithCalibration(0, zero.data(), nullptr, nullptr);
    EXPECT_EQ(z.sigma, kMinSigma);
    EXPECT_EQ(z.mu, 0.0f);
    EXPECT_EQ(z.gamma, 1.0f);  // D = 0
    expectEveryCode(z, 4);
}

TEST(Encode, NanInputKeepsSigmaPositiveAndGammaOne) {
    std::vector<float> x = testing::randomVectors(1, 3);
    x[17] = kNan;
    const TurboQuantPayload p = encodeWithCalibration(1, x.data(), nullptr, nullptr);
    // The variance is NaN; it must not reach sigma, which later divides.
    EXPECT_EQ(p.sigma, kMinSigma);
    EXPECT_TRUE(std::isnan(p.mu));
    EXPECT_EQ(p.gamma, 1.0f);  // D is NaN
    expectEveryCode(p, 7);
}

TEST(Encode, ReconstructionApproximatesTheVector) {
    const std::vector<float> xs = testing::randomVectors(20, 5);
    for (std::size_t v = 0; v < 20; ++v) {
        const float* x = xs.data() + v * kDim;
        const TurboQuantPayload p = encodeWithCalibration(v, x, nullptr, nullptr);
        const std::vector<double> r = reconstruction(p, nullptr, nullptr);
        // 3-bit optimal Gaussian quantizer: about 3.5% of the energy is error.
        EXPECT_LT(relativeError(x, r), 0.06);
        double norm = 0.0, dot = 0.0;
        for (std::size_t j = 0; j < kDim; ++j) {
            norm += double(x[j]) * x[j];
            dot += x[j] * r[j];
        }
        EXPECT_NEAR(p.gamma * dot / norm, 1.0, 1e-5);
        EXPECT_GT(p.gamma, 0.95f);
        EXPECT_LT(p.gamma, 1.1f);
    }
}

TEST(Encode, PositiveScalingKeepsCodesAndGamma) {
    const std::vector<float> xs = testing::randomVectors(1, 7);
    const TurboQuantPayload base = encodeWithCalibration(1, xs.data(), nullptr, nullptr);

    // A power of two scales every intermediate exactly.
    std::vector<float> x4(kDim), x3(kDim);
    for (std::size_t j = 0; j < kDim; ++j) {
        x4[j] = xs[j] * 4.0f;
        x3[j] = xs[j] * 3.0f;
    }
    const TurboQuantPayload p4 = encodeWithCalibration(1, x4.data(), nullptr, nullptr);
    EXPECT_EQ(0, std::memcmp(base.codes, p4.codes, sizeof base.codes));
    EXPECT_EQ(p4.gamma, base.gamma);
    EXPECT_EQ(p4.sigma, base.sigma * 4.0f);
    EXPECT_EQ(p4.mu, base.mu * 4.0f);

    // Otherwise only up to rounding: a value on a threshold may move.
    const TurboQuantPayload p3 = encodeWithCalibration(1, x3.data(), nullptr, nullptr);
    int moved = 0;
    for (std::size_t j = 0; j < kDim; ++j) moved += payloadCode(base, j) != payloadCode(p3, j);
    EXPECT_LE(moved, 1);
    EXPECT_NEAR(p3.gamma, base.gamma, 1e-5f);
    EXPECT_NEAR(p3.sigma, base.sigma * 3.0f, 1e-5f * p3.sigma);
}

TEST(Encode, IdentityCalibrationGivesTheUncalibratedPayload) {
    const std::vector<float> mean(kDim, 0.0f), sd(kDim, 1.0f);
    const std::vector<float> xs = testing::randomVectors(8, 11);
    for (std::size_t v = 0; v < 8; ++v) {
        const float* x = xs.data() + v * kDim;
        expectSamePayload(encodeWithCalibration(v, x, mean.data(), sd.data()),
                          encodeWithCalibration(v, x, nullptr, nullptr));
    }
}

TEST(Encode, CalibrationStandardisesPerDimensionAndReconstructsTheInput) {
    testing::TestRng rng(13);
    std::vector<float> mean(kDim), sd(kDim), x(kDim), z(kDim);
    for (std::size_t j = 0; j < kDim; ++j) {
        mean[j] = rng.uniform(-3.0f, 3.0f);
        sd[j] = rng.uniform(0.1f, 5.0f);
        x[j] = mean[j] + sd[j] * rng.normal();
        z[j] = (x[j] - mean[j]) / sd[j];
    }
    const TurboQuantPayload p = encodeWithCalibration(2, x.data(), mean.data(), sd.data());
    const TurboQuantPayload plain = encodeWithCalibration(2, z.data(), nullptr, nullptr);
    EXPECT_EQ(0, std::memcmp(p.codes, plain.codes, sizeof p.codes));
    EXPECT_EQ(p.sigma, plain.sigma);
    EXPECT_EQ(p.mu, plain.mu);

    // gamma corrects against the calibrated reconstruction of x, not of z.
    const std::vector<double> r = reconstruction(p, mean.data(), sd.data());
    EXPECT_LT(relativeError(x.data(), r), 0.06);
    double norm = 0.0, dot = 0.0;
    for (std::size_t j = 0; j < kDim; ++j) {
        norm += double(x[j]) * x[j];
        dot += x[j] * r[j];
    }
    EXPECT_NEAR(p.gamma * dot / norm, 1.0, 1e-5);
}

TEST(RawCopy, Int8CopyRoundsHalvesAwayFromZero) {
    std::vector<float> rotated(256, 0.0f);
    rotated[0] = 254.0f;
    rotated[1] = 3.0f;
    rotated[2] = -3.0f;
    rotated[3] = -254.0f;
    rotated[4] = std::nanf("");
    std::int8_t bytes[256];
    EXPECT_EQ(quantizeRawI8(rotated.data(), bytes), 2.0f);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[1], 2);
    EXPECT_EQ(bytes[2], -2);
    EXPECT_EQ(bytes[3], -127);
    EXPECT_EQ(bytes[4], 0);
}

}  // namespace
}  // namespace korvane
