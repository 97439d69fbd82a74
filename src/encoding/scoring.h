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

// lut[8j + c] = level(c) * w_j for j < n (256 unless said). mean/std
// nullptr when not calibrated.
LutSums buildLut(const float* query_scoring, const float* mean, const float* std, float* lut,
                 std::size_t n = kDefaultDim);

// Over the first `groups` code groups (32 unless said).
float estimateScore(const TurboQuantPayload& payload, const float* lut, LutSums sums,
                    std::size_t groups = kDefaultDim / 8);

// Exact scores from raw copies of n floats or bytes (256 unless said).
float exactScoreF32(const float* query_rotated, const float* raw, std::size_t n = kDefaultDim);
float exactScoreI8(const float* query_rotated, const std::int8_t* raw, float scale, std::size_t n = kDefaultDim);

// The block scorers of one path: out[i] equals the one-at-a-time score of
// item i, bit for bit.
struct ScoringKernels {
    void (*estimate_block)(const TurboQuantPayload* const* payloads, std::size_t count, const float* lut,
                           LutSums sums, float* out, std::size_t groups);
    void (*exact_i8_block)(const float* query_rotated, const std::int8_t* const* raws, const float* scales,
                           std::size_t count, float* out, std::size_t length);
};

// The kernels of a named path (by the fallback rule of common/cpu.h), for
// tests and benchmarks; and those of the process's path, chosen once.
const ScoringKernels& scoringKernelsFor(SimdPath path);
const ScoringKernels& scoringKernels();

inline void estimateScoreBlock(const TurboQuantPayload* const* payloads, std::size_t count, const float* lut,
                               LutSums sums, float* out, std::size_t groups = kDefaultDim / 8) {
    scoringKernels().estimate_block(payloads, count, lut, sums, out, groups);
}
inline void exactScoreI8Block(const float* query_rotated, const std::int8_t* const* raws, const float* scales,
                              std::size_t count, float* out, std::size_t length = kDefaultDim) {
    scoringKernels().exact_i8_block(query_rotated, raws, scales, count, out, length);
}

}  // namespace korvane
