#include "encoding/scoring.h"

#include "encoding/lane_dot.h"
#include "encoding/quantizer.h"
#include "encoding/scoring_kernels.h"

namespace korvane {

void quantizeQuery(const float* x, float* out, std::size_t n) {
    double s1 = 0.0;
    double s2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        s1 += v;
        s2 += v * v;
    }
    const StandardStats stats = standardStats(s1, s2, n);
    for (std::size_t i = 0; i < n; ++i) {
        const float t = (x[i] - stats.mu) / stats.sigma;
        out[i] = kQuantizerLevels[quantizerCode(t)] * stats.sigma + stats.mu;
    }
}

LutSums buildLut(const float* query_scoring, const float* mean, const float* std_dev, float* lut, std::size_t n) {
    LutSums sums{0.0f, 0.0f};
    for (std::size_t j = 0; j < n; ++j) {
        const float q = query_scoring[j];
        const float w = mean != nullptr ? q * std_dev[j] : q;
        for (std::size_t c = 0; c < 8; ++c) lut[8 * j + c] = kQuantizerLevels[c] * w;
        sums.weight_sum += w;
        if (mean != nullptr) {
            const float product = q * mean[j];
            sums.mean_dot += product;
        }
    }
    return sums;
}

float estimateScore(const TurboQuantPayload& payload, const float* lut, LutSums sums, std::size_t groups) {
    float s = 0.0f;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint32_t group = payload.codes[g];
        const float* rows = lut + 64 * g;
        for (std::size_t i = 0; i < 8; ++i) s += rows[8 * i + ((group >> (3 * i)) & 7u)];
    }
    return finishEstimate(s, payload, sums);
}

float exactScoreF32(const float* query_rotated, const float* raw, std::size_t n) {
    return laneDot(query_rotated, raw, n);
}

float exactScoreI8(const float* query_rotated, const std::int8_t* raw, float scale, std::size_t n) {
    float widened[kMaxPadded];
    for (std::size_t j = 0; j < n; ++j) widened[j] = static_cast<float>(raw[j]);
    return laneDot(query_rotated, widened, n) * scale;
}

const ScoringKernels& scoringKernelsFor(SimdPath path) {
    static constexpr ScoringKernels kByPath[kSimdPathCount] = {
        {estimateScoreBlockScalar, exactScoreI8BlockScalar},
        {estimateScoreBlockAvx2, exactScoreI8BlockAvx2},
        {estimateScoreBlockAvx512, exactScoreI8BlockAvx512},
    };
    return kernelsAtOrBelow(kByPath, path);
}

const ScoringKernels& scoringKernels() {
    static const ScoringKernels& chosen = scoringKernelsFor(activeSimdPath());
    return chosen;
}

}  // namespace korvane
