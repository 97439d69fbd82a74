// The kernels of the table in lane_dot.cpp. The AVX2 and AVX-512 kernels may
// only be called when the CPU has the instructions; each returns exactly the
// bits of its scalar twin.
#pragma once

#include <cstddef>

#include "common/shape.h"

namespace korvane {

// row -= d * earlier, the product and the difference each rounded, never
// fused. Element-wise and uncontracted, so every register width the compiler
// picks gives the same bits; the wider copies only make index creation faster.
[[gnu::always_inline]] inline void subtractScaledBody(float* row, float d, const float* earlier) {
    for (std::size_t j = 0; j < kDim; ++j) {
        const float product = d * earlier[j];
        row[j] = row[j] - product;
    }
}

float laneDotScalar(const float* a, const float* b);
void matVecScalar(const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockScalar(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out);
void subtractScaledScalar(float* row, float d, const float* earlier);

float laneDotAvx2(const float* a, const float* b);
void matVecAvx2(const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockAvx2(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                     float* out);
void subtractScaledAvx2(float* row, float d, const float* earlier);

float laneDotAvx512(const float* a, const float* b);
void matVecAvx512(const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockAvx512(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out);
void subtractScaledAvx512(float* row, float d, const float* earlier);

}  // namespace korvane
