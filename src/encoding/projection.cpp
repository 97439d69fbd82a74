#include "encoding/projection.h"

#include <cmath>

#include "common/random.h"
#include "encoding/lane_dot.h"

namespace korvane {
namespace {

// Rows drawn ahead and orthogonalised together against the finished rows.
constexpr std::size_t kRowBatch = 16;

void fillNormalRow(Xoshiro256& rng, float* row) {
    for (std::size_t j = 0; j < kDim; ++j) row[j] = static_cast<float>(normalDraw(rng));
}

// One row against rows [first, end) of the matrix, in increasing order, each
// dot product taken with the row as it stands after the previous steps.
void orthogonalizeRow(const LaneDotKernels& k, float* row, const float* rotation, std::size_t first,
                      std::size_t end) {
    for (std::size_t p = first; p < end; ++p) {
        const float* earlier = rotation + p * kDim;
        k.subtract_scaled(row, k.lane_dot(row, earlier), earlier);
    }
}

// Rows [r, r + count) against rows [0, r). Each row's steps are those of
// orthogonalizeRow, but the rows do not depend on each other here, so one
// matVec per earlier row yields all their dot products at once instead of a
// chain of dependent laneDots.
void orthogonalizeBatch(const LaneDotKernels& k, float* rotation, std::size_t r, std::size_t count) {
    float* batch = rotation + r * kDim;
    float dots[kRowBatch];
    for (std::size_t p = 0; p < r; ++p) {
        const float* earlier = rotation + p * kDim;
        k.mat_vec(batch, count, earlier, dots);
        for (std::size_t i = 0; i < count; ++i) k.subtract_scaled(batch + i * kDim, dots[i], earlier);
    }
}

// Scales the row to unit length; false (row unusable) when its norm is not
// above min_norm, NaN included.
bool normalizeRow(const LaneDotKernels& k, float* row, float min_norm) {
    const float norm = std::sqrt(k.lane_dot(row, row));
    if (!(norm > min_norm)) return false;
    for (std::size_t j = 0; j < kDim; ++j) row[j] = row[j] / norm;
    return true;
}

// Row r by the plain definition: draw, orthogonalise, normalise, and draw
// again from the continuing stream until the row is usable.
void generateRowAlone(const LaneDotKernels& k, Xoshiro256& rng, float* rotation, std::size_t r,
                      float min_norm) {
    float* row = rotation + r * kDim;
    do {
        fillNormalRow(rng, row);
        orthogonalizeRow(k, row, rotation, 0, r);
    } while (!normalizeRow(k, row, min_norm));
}

// Rows from r on, a batch at a time; returns the first row not yet done. The
// batch's rows are drawn ahead. Should one of them need drawing again, the
// stream is rewound to just after that row's draws, the row is redone alone
// and the rows drawn after it are dropped, so the result is exactly that of
// generating every row in turn.
std::size_t generateBatch(const LaneDotKernels& k, Xoshiro256& rng, float* rotation, std::size_t r,
                          float min_norm) {
    const std::size_t count = kDim - r < kRowBatch ? kDim - r : kRowBatch;
    Xoshiro256 after_draw[kRowBatch];
    for (std::size_t i = 0; i < count; ++i) {
        fillNormalRow(rng, rotation + (r + i) * kDim);
        after_draw[i] = rng;
    }
    orthogonalizeBatch(k, rotation, r, count);
    for (std::size_t i = 0; i < count; ++i) {
        float* row = rotation + (r + i) * kDim;
        orthogonalizeRow(k, row, rotation, r, r + i);
        if (!normalizeRow(k, row, min_norm)) {
            rng = after_draw[i];
            generateRowAlone(k, rng, rotation, r + i, min_norm);
            return r + i + 1;
        }
    }
    return r + count;
}

}  // namespace

void generateRotationWith(const LaneDotKernels& kernels, float* rotation, std::uint64_t seed, float min_norm) {
    Xoshiro256 rng = seedXoshiro(seed);
    std::size_t r = 0;
    while (r < kDim) r = generateBatch(kernels, rng, rotation, r, min_norm);
}

void generateRotation(float* rotation, std::uint64_t seed) {
    generateRotationWith(laneDotKernels(), rotation, seed, kMinRowNorm);
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
    // Branch-free: the signs are random, so a branch per bit mispredicts half the time.
    RoutingCode code{};
    for (std::size_t w = 0; w < kRoutingWords; ++w) {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 64; ++i)
            bits |= std::uint64_t(projections[w * 64 + i] > 0.0f) << i;
        code.words[w] = bits;
    }
    return code;
}

}  // namespace korvane
