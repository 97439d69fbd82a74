#include "encoding/projection.h"

#include <cmath>

#include "encoding/lane_dot.h"
#include "encoding/random.h"

namespace korvane {
namespace {

void fillNormalRow(Xoshiro256& rng, float* row) {
    for (std::size_t j = 0; j < kDim; ++j) row[j] = static_cast<float>(normalDraw(rng));
}

// Subtracts the projections on the earlier rows (modified Gram-Schmidt),
// product and difference each rounded, never fused.
void orthogonalize(float* row, const float* rotation, std::size_t r) {
    for (std::size_t p = 0; p < r; ++p) {
        const float* earlier = rotation + p * kDim;
        const float d = laneDot(row, earlier);
        for (std::size_t j = 0; j < kDim; ++j) {
            const float product = d * earlier[j];
            row[j] = row[j] - product;
        }
    }
}

}  // namespace

void generateRotation(float* rotation, std::uint64_t seed) {
    Xoshiro256 rng = seedXoshiro(seed);
    const float min_norm = 1e-6f;
    for (std::size_t r = 0; r < kDim; ++r) {
        float* row = rotation + r * kDim;
        while (true) {
            fillNormalRow(rng, row);
            orthogonalize(row, rotation, r);
            const float norm = std::sqrt(laneDot(row, row));
            if (norm > min_norm) {  // false for NaN too: redraw
                for (std::size_t j = 0; j < kDim; ++j) row[j] = row[j] / norm;
                break;
            }
        }
    }
}

void generateProjection(float* projection, std::uint64_t seed) {
    Xoshiro256 rng = seedXoshiro(seed ^ kProjectionSeedMask);
    for (std::size_t i = 0; i < kProjectionFloats; ++i) projection[i] = static_cast<float>(normalDraw(rng));
}

void rotateVector(const float* rotation, const float* x, float* out) { matVec(rotation, kDim, x, out); }

void projectVector(const float* projection, const float* rotated, float* projections) {
    matVec(projection, kRoutingBits, rotated, projections);
}

RoutingCode routingCodeOf(const float* projections) {
    RoutingCode code{};
    for (std::size_t b = 0; b < kRoutingBits; ++b)
        if (projections[b] > 0.0f) code.words[b >> 6] |= std::uint64_t{1} << (b & 63);
    return code;
}

}  // namespace korvane
