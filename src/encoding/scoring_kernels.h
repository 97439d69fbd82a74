// Kernel entry points behind the dispatch of scoring.h, and the scalar steps
// every path shares so that their bits agree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "encoding/scoring.h"

namespace korvane {

// est = gamma * (C + ((S * sigma) + (W * mu))), each operation rounded alone.
inline float finishEstimate(float lut_sum, const TurboQuantPayload& payload, LutSums sums) {
    const float scaled = lut_sum * payload.sigma;
    const float shifted = sums.weight_sum * payload.mu;
    const float inner = scaled + shifted;
    return payload.gamma * (sums.mean_dot + inner);
}

// The closing sum of the four dot-product accumulators.
inline float sumAccumulators(const float* acc) { return ((acc[0] + acc[1]) + acc[2]) + acc[3]; }

void estimateScoreBlockScalar(const TurboQuantPayload* const* payloads, std::size_t count,
                              const float* lut, LutSums sums, float* out, std::size_t groups);
void estimateScoreBlockAvx2(const TurboQuantPayload* const* payloads, std::size_t count,
                            const float* lut, LutSums sums, float* out, std::size_t groups);
void estimateScoreBlockAvx512(const TurboQuantPayload* const* payloads, std::size_t count,
                              const float* lut, LutSums sums, float* out, std::size_t groups);

void exactScoreI8BlockScalar(const float* query_rotated, const std::int8_t* const* raws,
                             const float* scales, std::size_t count, float* out, std::size_t length);
void exactScoreI8BlockAvx2(const float* query_rotated, const std::int8_t* const* raws,
                           const float* scales, std::size_t count, float* out, std::size_t length);
void exactScoreI8BlockAvx512(const float* query_rotated, const std::int8_t* const* raws,
                             const float* scales, std::size_t count, float* out, std::size_t length);

}  // namespace korvane
