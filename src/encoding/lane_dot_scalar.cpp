// Scalar reference kernels. Every SIMD kernel must reproduce these bits.
#include <cmath>

#include "common/shape.h"
#include "encoding/lane_dot_kernels.h"

namespace korvane {

float laneDotScalar(const float* a, const float* b, std::size_t n) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t j = 0; j < n; ++j) acc[j & 3] = std::fma(a[j], b[j], acc[j & 3]);
    return ((acc[0] + acc[1]) + acc[2]) + acc[3];
}

void matVecScalar(const float* matrix, std::size_t rows, const float* x, float* out, std::size_t n) {
    for (std::size_t r = 0; r < rows; ++r) out[r] = laneDotScalar(matrix + r * n, x, n);
}

void matVecBlockScalar(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out, std::size_t n) {
    for (std::size_t v = 0; v < count; ++v) matVecScalar(matrix, rows, xs + v * n, out + v * rows, n);
}

void subtractScaledScalar(float* row, float d, const float* earlier, std::size_t n) {
    subtractScaledBody(row, d, earlier, n);
}

}  // namespace korvane
