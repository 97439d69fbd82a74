// Scalar reference block scorers. The SIMD kernels must reproduce these bits.
#include "common/shape.h"
#include "encoding/lane_dot_kernels.h"
#include "encoding/scoring_kernels.h"

namespace korvane {
namespace {

constexpr std::size_t kInterleave = 4;

// Four payloads side by side: each keeps its own sum in its own order, but
// the four dependency chains overlap.
void estimateInterleaved(const TurboQuantPayload* const* payloads, const float* lut,
                         LutSums sums, float* out, std::size_t groups) {
    float s[kInterleave] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t g = 0; g < groups; ++g) {
        const float* rows = lut + 64 * g;
        for (std::size_t i = 0; i < 8; ++i) {
            for (std::size_t p = 0; p < kInterleave; ++p) {
                const unsigned code = (payloads[p]->codes[g] >> (3 * i)) & 7u;
                s[p] += rows[8 * i + code];
            }
        }
    }
    for (std::size_t p = 0; p < kInterleave; ++p) out[p] = finishEstimate(s[p], *payloads[p], sums);
}

}  // namespace

void estimateScoreBlockScalar(const TurboQuantPayload* const* payloads, std::size_t count,
                              const float* lut, LutSums sums, float* out, std::size_t groups) {
    std::size_t k = 0;
    for (; k + kInterleave <= count; k += kInterleave) {
        estimateInterleaved(payloads + k, lut, sums, out + k, groups);
    }
    for (; k < count; ++k) out[k] = estimateScore(*payloads[k], lut, sums, groups);
}

void exactScoreI8BlockScalar(const float* query_rotated, const std::int8_t* const* raws,
                             const float* scales, std::size_t count, float* out, std::size_t length) {
    float widened[kMaxPadded];
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t j = 0; j < length; ++j) widened[j] = static_cast<float>(raws[k][j]);
        out[k] = laneDotScalar(query_rotated, widened, length) * scales[k];
    }
}

}  // namespace korvane
