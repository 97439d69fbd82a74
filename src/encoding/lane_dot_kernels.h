// Kernel entry points behind the dispatch of lane_dot.h. The AVX2 and AVX-512
// kernels may only be called when the CPU has the instructions; each returns
// exactly the bits of its scalar twin.
#pragma once

#include <cstddef>

namespace korvane {

float laneDotScalar(const float* a, const float* b);
void matVecScalar(const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockScalar(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out);

float laneDotAvx2(const float* a, const float* b);
void matVecAvx2(const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockAvx2(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                     float* out);

float laneDotAvx512(const float* a, const float* b);
void matVecAvx512(const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockAvx512(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out);

}  // namespace korvane
