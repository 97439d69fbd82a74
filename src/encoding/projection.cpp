#include "encoding/projection.h"

#include <cmath>
#include <cstring>

#include "common/random.h"
#include "encoding/lane_dot.h"

namespace korvane {
namespace {

// Rows drawn ahead and orthogonalised together against the finished rows.
constexpr std::size_t kRowBatch = 16;

// One dense block of a rotation: `size` rows of `size` used floats each,
// `stride` floats apart (zeros beyond `size`, which add nothing to a dot).
struct Block {
    float* rows;
    std::size_t size;
    std::size_t stride;
    float* row(std::size_t r) const { return rows + r * stride; }
};

void fillNormalRow(Xoshiro256& rng, const Block& b, float* row) {
    for (std::size_t j = 0; j < b.size; ++j) row[j] = static_cast<float>(normalDraw(rng));
    for (std::size_t j = b.size; j < b.stride; ++j) row[j] = 0.0f;
}

// One row against rows [first, end) of the block, in increasing order, each
// dot product taken with the row as it stands after the previous steps.
void orthogonalizeRow(const LaneDotKernels& k, const Block& b, float* row, std::size_t first, std::size_t end) {
    for (std::size_t p = first; p < end; ++p) {
        const float* earlier = b.row(p);
        k.subtract_scaled(row, k.lane_dot(row, earlier, b.stride), earlier, b.stride);
    }
}

// Rows [r, r + count) against rows [0, r). Each row's steps are those of
// orthogonalizeRow, but the rows do not depend on each other here, so one
// matVec per earlier row yields all their dot products at once instead of a
// chain of dependent laneDots.
void orthogonalizeBatch(const LaneDotKernels& k, const Block& b, std::size_t r, std::size_t count) {
    float* batch = b.row(r);
    float dots[kRowBatch];
    for (std::size_t p = 0; p < r; ++p) {
        const float* earlier = b.row(p);
        k.mat_vec(batch, count, earlier, dots, b.stride);
        for (std::size_t i = 0; i < count; ++i) k.subtract_scaled(batch + i * b.stride, dots[i], earlier, b.stride);
    }
}

// Scales the row to unit length; false (row unusable) when its norm is not
// above min_norm, NaN included.
bool normalizeRow(const LaneDotKernels& k, const Block& b, float* row, float min_norm) {
    const float norm = std::sqrt(k.lane_dot(row, row, b.stride));
    if (!(norm > min_norm)) return false;
    for (std::size_t j = 0; j < b.size; ++j) row[j] = row[j] / norm;
    return true;
}

// Row r by the plain definition: draw, orthogonalise, normalise, and draw
// again from the continuing stream until the row is usable.
void generateRowAlone(const LaneDotKernels& k, Xoshiro256& rng, const Block& b, std::size_t r, float min_norm) {
    float* row = b.row(r);
    do {
        fillNormalRow(rng, b, row);
        orthogonalizeRow(k, b, row, 0, r);
    } while (!normalizeRow(k, b, row, min_norm));
}

// Rows from r on, a batch at a time; returns the first row not yet done. The
// batch's rows are drawn ahead. Should one of them need drawing again, the
// stream is rewound to just after that row's draws, the row is redone alone
// and the rows drawn after it are dropped, so the result is exactly that of
// generating every row in turn.
std::size_t generateBatch(const LaneDotKernels& k, Xoshiro256& rng, const Block& b, std::size_t r, float min_norm) {
    const std::size_t count = b.size - r < kRowBatch ? b.size - r : kRowBatch;
    Xoshiro256 after_draw[kRowBatch];
    for (std::size_t i = 0; i < count; ++i) {
        fillNormalRow(rng, b, b.row(r + i));
        after_draw[i] = rng;
    }
    orthogonalizeBatch(k, b, r, count);
    for (std::size_t i = 0; i < count; ++i) {
        float* row = b.row(r + i);
        orthogonalizeRow(k, b, row, r, r + i);
        if (!normalizeRow(k, b, row, min_norm)) {
            rng = after_draw[i];
            generateRowAlone(k, rng, b, r + i, min_norm);
            return r + i + 1;
        }
    }
    return r + count;
}

void generateBlock(const LaneDotKernels& k, Xoshiro256& rng, const Block& b, float min_norm) {
    std::size_t r = 0;
    while (r < b.size) r = generateBatch(k, rng, b, r, min_norm);
}

// Fisher-Yates over 0..dim-1, each index drawn as the high word of a 64 x
// 64-bit product, so no draw is ever rejected.
void generateOrder(Xoshiro256& rng, std::uint32_t* order, std::size_t dim) {
    for (std::size_t i = 0; i < dim; ++i) order[i] = std::uint32_t(i);
    for (std::size_t i = dim - 1; i > 0; --i) {
        const auto wide = static_cast<unsigned __int128>(nextU64(rng)) * (i + 1);
        const std::size_t j = std::size_t(wide >> 64);
        const std::uint32_t t = order[i];
        order[i] = order[j];
        order[j] = t;
    }
}

std::size_t roundUp16(std::size_t n) { return (n + 15) / 16 * 16; }

}  // namespace

std::size_t rotationBlockCount(std::size_t dim) { return (dim + kMaxBlock - 1) / kMaxBlock; }

RotationBlock rotationBlock(std::size_t dim, std::size_t block) {
    const std::size_t count = rotationBlockCount(dim);
    const std::size_t base = dim / count;
    const std::size_t larger = dim % count;  // the first `larger` blocks take one more
    RotationBlock b{0, 0, 0, 0};
    for (std::size_t i = 0; i <= block; ++i) {
        b.start += b.size;
        b.offset += b.size * b.stride;
        b.size = base + (i < larger ? 1 : 0);
        b.stride = roundUp16(b.size);
    }
    return b;
}

std::size_t rotationFloats(std::size_t dim) {
    const RotationBlock last = rotationBlock(dim, rotationBlockCount(dim) - 1);
    return last.offset + last.size * last.stride;
}

std::size_t projectionFloats(const Shape& shape) { return kRoutingBits * std::size_t{shape.padded}; }

void generateRotationWith(const LaneDotKernels& kernels, float* rotation, std::uint64_t seed, float min_norm) {
    Xoshiro256 rng = seedXoshiro(seed);
    generateBlock(kernels, rng, Block{rotation, kDim, kDim}, min_norm);
}

void generateShapedRotation(const Shape& shape, float* rotation, std::uint32_t* order, std::uint64_t seed) {
    const LaneDotKernels& kernels = laneDotKernels();
    Xoshiro256 rng = seedXoshiro(seed);
    if (rotationHasOrder(shape.dim)) generateOrder(rng, order, shape.dim);
    for (std::size_t i = 0; i < rotationBlockCount(shape.dim); ++i) {
        const RotationBlock b = rotationBlock(shape.dim, i);
        generateBlock(kernels, rng, Block{rotation + b.offset, b.size, b.stride}, kMinRowNorm);
    }
}

void generateShapedProjection(const Shape& shape, float* projection, std::uint64_t seed) {
    Xoshiro256 rng = seedXoshiro(seed ^ kProjectionSeedMask);
    for (std::size_t r = 0; r < kRoutingBits; ++r) {
        float* row = projection + r * shape.padded;
        for (std::size_t j = 0; j < shape.dim; ++j) row[j] = static_cast<float>(normalDraw(rng));
        for (std::size_t j = shape.dim; j < shape.padded; ++j) row[j] = 0.0f;
    }
}

namespace {

constexpr std::size_t kRotateGroup = 16;  // vectors per pass of the block kernel

// Up to kRotateGroup vectors. A single block as wide as the padded row (the
// default shape among them) is the plain block product; otherwise each
// block's components are gathered (dealt by the order, zero to the stride)
// and its results put in place.
void rotateGroup(const Shape& shape, const float* rotation, const std::uint32_t* order, const float* xs,
                 std::size_t count, float* out) {
    const std::size_t dim = shape.dim, padded = shape.padded;
    const bool dealt = rotationHasOrder(dim);
    if (!dealt && dim == padded && rotationBlock(dim, 0).stride == dim) {
        matVecBlock(rotation, dim, xs, count, out, dim);
        return;
    }
    float gathered[kRotateGroup * kMaxBlock], results[kRotateGroup * kMaxBlock];
    for (std::size_t i = 0; i < rotationBlockCount(dim); ++i) {
        const RotationBlock b = rotationBlock(dim, i);
        for (std::size_t v = 0; v < count; ++v) {
            const float* x = xs + v * dim;
            float* row = gathered + v * b.stride;
            for (std::size_t j = 0; j < b.size; ++j) row[j] = dealt ? x[order[b.start + j]] : x[b.start + j];
            for (std::size_t j = b.size; j < b.stride; ++j) row[j] = 0.0f;
        }
        matVecBlock(rotation + b.offset, b.size, gathered, count, results, b.stride);
        for (std::size_t v = 0; v < count; ++v)
            std::memcpy(out + v * padded + b.start, results + v * b.size, b.size * sizeof(float));
    }
    for (std::size_t v = 0; v < count; ++v)
        for (std::size_t j = dim; j < padded; ++j) out[v * padded + j] = 0.0f;
}

}  // namespace

void rotateShaped(const Shape& shape, const float* rotation, const std::uint32_t* order, const float* xs,
                  std::size_t count, float* out) {
    for (std::size_t v = 0; v < count; v += kRotateGroup) {
        const std::size_t group = count - v < kRotateGroup ? count - v : kRotateGroup;
        rotateGroup(shape, rotation, order, xs + v * shape.dim, group, out + v * shape.padded);
    }
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
