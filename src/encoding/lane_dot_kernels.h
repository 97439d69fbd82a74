// The kernels of the table in lane_dot.cpp. The AVX2 and AVX-512 kernels may
// only be called when the CPU has the instructions; each returns exactly the
// bits of its scalar twin.
#pragma once

#include <cstddef>


namespace korvane {

// row -= d * earlier, the product and the difference each rounded, never
// fused. Element-wise and uncontracted, so every register width the compiler
// picks gives the same bits; the wider copies only make index creation faster.
[[gnu::always_inline]] inline void subtractScaledBody(float* row, float d, const float* earlier, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        const float product = d * earlier[j];
        row[j] = row[j] - product;
    }
}

float laneDotScalar(const float* a, const float* b, std::size_t n);
void matVecScalar(const float* matrix, std::size_t rows, const float* x, float* out, std::size_t n);
void matVecBlockScalar(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out, std::size_t n);
void subtractScaledScalar(float* row, float d, const float* earlier, std::size_t n);

float laneDotAvx2(const float* a, const float* b, std::size_t n);
void matVecAvx2(const float* matrix, std::size_t rows, const float* x, float* out, std::size_t n);
void matVecBlockAvx2(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                     float* out, std::size_t n);
void subtractScaledAvx2(float* row, float d, const float* earlier, std::size_t n);

float laneDotAvx512(const float* a, const float* b, std::size_t n);
void matVecAvx512(const float* matrix, std::size_t rows, const float* x, float* out, std::size_t n);
void matVecBlockAvx512(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out, std::size_t n);
void subtractScaledAvx512(float* row, float d, const float* earlier, std::size_t n);

}  // namespace korvane
