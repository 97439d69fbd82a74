// The one dot product of the system and the matrix-vector products built on
// it. Four f32 accumulators, lane j % 4 takes a fused multiply-add of
// a[j] * b[j], and the result is ((A0 + A1) + A2) + A3. Every path (scalar,
// AVX2+FMA, AVX-512) gives the same bits.
#pragma once

#include <cstddef>

#include "common/cpu.h"

namespace korvane {

float laneDot(const float* a, const float* b);  // 256 elements each

// out[r] = laneDot(row r of matrix, x) for r < rows; matrix is rows x 256.
void matVec(const float* matrix, std::size_t rows, const float* x, float* out);

// The same for `count` vectors: out[v * rows + r] = laneDot(row r, xs + 256 v).
// Sharing each matrix row across vectors saves memory traffic; every result
// equals the one-vector product bit for bit.
void matVecBlock(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                 float* out);

// Per-path entry points, for tests and benchmarks.
float laneDotOn(SimdPath path, const float* a, const float* b);
void matVecOn(SimdPath path, const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockOn(SimdPath path, const float* matrix, std::size_t rows, const float* xs,
                   std::size_t count, float* out);

}  // namespace korvane
