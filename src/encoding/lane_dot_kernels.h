// Kernel entry points behind the dispatch of lane_dot.h.
#pragma once

#include <cstddef>

namespace korvane {

float laneDotScalar(const float* a, const float* b);
void matVecScalar(const float* matrix, std::size_t rows, const float* x, float* out);
void matVecBlockScalar(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                       float* out);

}  // namespace korvane
