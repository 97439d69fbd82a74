// The seeded rotation (256 x 256, orthonormal rows) and routing projection
// (1024 x 256, Gaussian entries), and what is computed with them.
#pragma once

#include <cstdint>

#include "common/routing_code.h"
#include "common/shape.h"
#include "encoding/lane_dot.h"

namespace korvane {

constexpr std::uint64_t kProjectionSeedMask = 0xd1ce5eed1234abcdULL;
constexpr std::size_t kRotationFloats = kDim * kDim;
constexpr std::size_t kProjectionFloats = kRoutingBits * kDim;

// A rotation row whose norm after orthogonalisation is not above this is
// drawn again.
constexpr float kMinRowNorm = 1e-6f;

// Fill preallocated matrices from the seed. Cannot fail.
void generateRotation(float* rotation, std::uint64_t seed);
// The same with given kernels and another redraw threshold, so tests can
// check every path and make redraws happen.
void generateRotationWith(const LaneDotKernels& kernels, float* rotation, std::uint64_t seed, float min_norm);
void generateProjection(float* projection, std::uint64_t seed);

// out[r] = laneDot(row r of rotation, x), r < 256.
void rotateVector(const float* rotation, const float* x, float* out);

// projections[b] = laneDot(row b of projection, rotated), b < 1024.
void projectVector(const float* projection, const float* rotated, float* projections);

// Bit b set exactly when projections[b] > 0 (zero and NaN give 0).
RoutingCode routingCodeOf(const float* projections);

}  // namespace korvane
