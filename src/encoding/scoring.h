// Query quantization, the scoring table and the two scores.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu.h"
#include "encoding/payload.h"

namespace korvane {

// out = quantized reconstruction of x (n values).
void quantizeQuery(const float* x, float* out, std::size_t n);

struct LutSums {
    float weight_sum;  // W
    float mean_dot;    // C
};

// lut[8j + c] = level(c) * w_j. mean/std nullptr when not calibrated.
LutSums buildLut(const float* query_scoring, const float* mean, const float* std, float* lut);

float estimateScore(const TurboQuantPayload& payload, const float* lut, LutSums sums);

// Exact scores from raw copies.
float exactScoreF32(const float* query_rotated, const float* raw);
float exactScoreI8(const float* query_rotated, const std::int8_t* raw, float scale);

// Block scorers: out[i] equals the one-at-a-time score of item i, bit for bit.
void estimateScoreBlock(const TurboQuantPayload* const* payloads, std::size_t count,
                        const float* lut, LutSums sums, float* out);
void exactScoreI8Block(const float* query_rotated, const std::int8_t* const* raws,
                       const float* scales, std::size_t count, float* out);

// Per-path entry points for tests and benchmarks.
void estimateScoreBlockOn(SimdPath path, const TurboQuantPayload* const* payloads,
                          std::size_t count, const float* lut, LutSums sums, float* out);
void exactScoreI8BlockOn(SimdPath path, const float* query_rotated,
                         const std::int8_t* const* raws, const float* scales, std::size_t count,
                         float* out);

}  // namespace korvane
