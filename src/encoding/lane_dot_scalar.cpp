// Scalar reference kernels. Every SIMD kernel must reproduce these bits.
#include <cmath>

#include "common/shape.h"
#include "encoding/lane_dot_kernels.h"

namespace korvane {

float laneDotScalar(const float* a, const float* b) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t j = 0; j < kDim; ++j) acc[j & 3] = std::fma(a[j], b[j], acc[j & 3]);
    return ((acc[0] + acc[1]) + acc[2]) + acc[3];
}

void matVecScalar(const float* matrix, std::size_t rows, const float* x, float* out) {
    for (std::size_t r = 0; r < rows; ++r) out[r] = laneDotScalar(matrix + r * kDim, x);
}

void matVecBlockScalar(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out) {
    for (std::size_t v = 0; v < count; ++v) matVecScalar(matrix, rows, xs + v * kDim, out + v * rows);
}

void subtractScaledScalar(float* row, float d, const float* earlier) { subtractScaledBody(row, d, earlier); }

}  // namespace korvane
