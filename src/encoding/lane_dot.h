// The one dot product of the system and the matrix-vector products built on
// it. Four f32 accumulators, lane j % 4 takes a fused multiply-add of
// a[j] * b[j], and the result is ((A0 + A1) + A2) + A3. Every path (scalar,
// AVX2+FMA, AVX-512) gives the same bits.
#pragma once

#include <cstddef>

#include "common/cpu.h"
#include "common/shape.h"

namespace korvane {

// The family's kernels for one path.
struct LaneDotKernels {
    // Every length n is a multiple of 16; a matrix's rows are n floats apart.
    float (*lane_dot)(const float* a, const float* b, std::size_t n);
    void (*mat_vec)(const float* matrix, std::size_t rows, const float* x, float* out, std::size_t n);
    void (*mat_vec_block)(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                          float* out, std::size_t n);
    // row -= d * earlier over n elements, product and difference each
    // rounded (one Gram-Schmidt step of a rotation).
    void (*subtract_scaled)(float* row, float d, const float* earlier, std::size_t n);
};

// The kernels of a named path (by the fallback rule of common/cpu.h), for
// tests and benchmarks; and those of the process's path, chosen once.
const LaneDotKernels& laneDotKernelsFor(SimdPath path);
const LaneDotKernels& laneDotKernels();

// n elements each (a multiple of 16; 256 unless said).
inline float laneDot(const float* a, const float* b, std::size_t n = kDefaultDim) {
    return laneDotKernels().lane_dot(a, b, n);
}

// out[r] = laneDot(row r of matrix, x) for r < rows; matrix is rows x n.
inline void matVec(const float* matrix, std::size_t rows, const float* x, float* out, std::size_t n = kDefaultDim) {
    laneDotKernels().mat_vec(matrix, rows, x, out, n);
}

// The same for `count` vectors: out[v * rows + r] = laneDot(row r, xs + n v).
// Sharing each matrix row across vectors saves memory traffic; every result
// equals the one-vector product bit for bit.
inline void matVecBlock(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                        float* out, std::size_t n = kDefaultDim) {
    laneDotKernels().mat_vec_block(matrix, rows, xs, count, out, n);
}

}  // namespace korvane
