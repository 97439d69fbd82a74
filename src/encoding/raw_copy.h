// The 8-bit raw copy of a rotated vector, kept for exact re-scoring.
#pragma once

#include <cstdint>

namespace korvane {

// int8 copy of a rotated vector: returns the scale, writes 256 bytes.
float quantizeRawI8(const float* rotated, std::int8_t* out);

}  // namespace korvane
