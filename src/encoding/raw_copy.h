// The 8-bit raw copy of a rotated vector, kept for exact re-scoring.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// int8 copy of a rotated vector: returns the scale, writes n bytes (256
// unless said).
float quantizeRawI8(const float* rotated, std::int8_t* out, std::size_t n = 256);

}  // namespace korvane
