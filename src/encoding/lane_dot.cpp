// Run-time dispatch of the dot-product kernels.
#include "encoding/lane_dot.h"

#include "encoding/lane_dot_kernels.h"

namespace korvane {

float laneDotOn(SimdPath path, const float* a, const float* b) {
    (void)path;
    return laneDotScalar(a, b);
}

void matVecOn(SimdPath path, const float* matrix, std::size_t rows, const float* x, float* out) {
    (void)path;
    matVecScalar(matrix, rows, x, out);
}

void matVecBlockOn(SimdPath path, const float* matrix, std::size_t rows, const float* xs,
                   std::size_t count, float* out) {
    (void)path;
    matVecBlockScalar(matrix, rows, xs, count, out);
}

float laneDot(const float* a, const float* b) { return laneDotOn(activeSimdPath(), a, b); }

void matVec(const float* matrix, std::size_t rows, const float* x, float* out) {
    matVecOn(activeSimdPath(), matrix, rows, x, out);
}

void matVecBlock(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                 float* out) {
    matVecBlockOn(activeSimdPath(), matrix, rows, xs, count, out);
}

}  // namespace korvane
