// The seeded rotation (orthonormal) and routing projection (1024 Gaussian
// rows), and what is computed with them.
//
// The default shape's rotation is one dense 256 x 256 block. Any other
// dimension d is split into ceil(d / 256) blocks of near-equal size (a
// dimension up to 256 is one block); each block is a dense orthonormal
// rotation of its own, drawn and orthogonalised exactly as the 256 x 256 one
// is, and with more than one block the input components are first dealt to
// the blocks by a seeded permutation, so every block mixes components from
// the whole vector. Creation stays well under a second and a rotation costs
// at most 256 multiply-adds per component, at any dimension. A block's rows
// are stored `blockStride` floats apart, zero beyond the block's size, so the
// one dot-product kernel serves them; rotated vectors and projection rows
// are `padded` long, zero beyond `dim`.
#pragma once

#include <cstdint>

#include "common/routing_code.h"
#include "common/shape.h"
#include "encoding/lane_dot.h"

namespace korvane {

constexpr std::uint64_t kProjectionSeedMask = 0xd1ce5eed1234abcdULL;
constexpr std::size_t kRotationFloats = kDim * kDim;
constexpr std::size_t kProjectionFloats = kRoutingBits * kDim;
constexpr std::size_t kMaxBlock = 256;

// The blocks of a rotation of dimension `dim`.
struct RotationBlock {
    std::size_t start;   // first rotated component (and position in the dealt order)
    std::size_t size;    // rows and used columns
    std::size_t stride;  // floats from one row to the next, a multiple of 16
    std::size_t offset;  // of its first row in the rotation's floats
};
std::size_t rotationBlockCount(std::size_t dim);
RotationBlock rotationBlock(std::size_t dim, std::size_t block);
// Floats of the whole rotation, and of the projection (1024 x padded).
std::size_t rotationFloats(std::size_t dim);
std::size_t projectionFloats(const Shape& shape);
// Whether the rotation deals components through a permutation (more than one block).
inline bool rotationHasOrder(std::size_t dim) { return rotationBlockCount(dim) > 1; }

// A rotation row whose norm after orthogonalisation is not above this is
// drawn again.
constexpr float kMinRowNorm = 1e-6f;

// Fill preallocated matrices from the seed. Cannot fail.
void generateRotation(float* rotation, std::uint64_t seed);
// The same with given kernels and another redraw threshold, so tests can
// check every path and make redraws happen.
void generateRotationWith(const LaneDotKernels& kernels, float* rotation, std::uint64_t seed, float min_norm);
void generateProjection(float* projection, std::uint64_t seed);

// Any shape: `order` has room for `dim` entries (unused with one block).
// For the default shape these are exactly the two functions above.
void generateShapedRotation(const Shape& shape, float* rotation, std::uint32_t* order, std::uint64_t seed);
void generateShapedProjection(const Shape& shape, float* projection, std::uint64_t seed);

// out[r] = laneDot(row r of rotation, x), r < 256.
void rotateVector(const float* rotation, const float* x, float* out);
// Any shape, `count` vectors at once: xs holds vectors of `dim` floats, out
// receives rows of `padded` (zero beyond dim). Each block of the rotation
// goes through the block kernel once for up to 16 vectors; every row equals
// the one-vector product bit for bit.
void rotateShaped(const Shape& shape, const float* rotation, const std::uint32_t* order, const float* xs,
                  std::size_t count, float* out);

// projections[b] = laneDot(row b of projection, rotated), b < 1024.
void projectVector(const float* projection, const float* rotated, float* projections);

// Bit b set exactly when projections[b] > 0 (zero and NaN give 0).
RoutingCode routingCodeOf(const float* projections);

}  // namespace korvane
