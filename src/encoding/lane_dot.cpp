// Run-time dispatch of the dot-product kernels.
#include "encoding/lane_dot.h"

#include "encoding/lane_dot_kernels.h"

namespace korvane {

float laneDotOn(SimdPath path, const float* a, const float* b) {
    switch (path) {
        case SimdPath::Avx512: return laneDotAvx512(a, b);
        case SimdPath::Avx2: return laneDotAvx2(a, b);
        case SimdPath::Scalar: break;
    }
    return laneDotScalar(a, b);
}

void matVecOn(SimdPath path, const float* matrix, std::size_t rows, const float* x, float* out) {
    switch (path) {
        case SimdPath::Avx512: return matVecAvx512(matrix, rows, x, out);
        case SimdPath::Avx2: return matVecAvx2(matrix, rows, x, out);
        case SimdPath::Scalar: break;
    }
    matVecScalar(matrix, rows, x, out);
}

void matVecBlockOn(SimdPath path, const float* matrix, std::size_t rows, const float* xs,
                   std::size_t count, float* out) {
    switch (path) {
        case SimdPath::Avx512: return matVecBlockAvx512(matrix, rows, xs, count, out);
        case SimdPath::Avx2: return matVecBlockAvx2(matrix, rows, xs, count, out);
        case SimdPath::Scalar: break;
    }
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
