// The quantized form of one stored vector.
#pragma once

#include <cstdint>

#include "common/shape.h"

namespace korvane {

struct TurboQuantPayload {
    std::uint64_t id;
    // Group g holds the 3-bit codes of dimensions 8g..8g+7, dimension 8g+i at
    // bits 3i..3i+2; only the low 24 bits of a slot are used.
    std::uint32_t codes[kCodeGroups];
    float sigma;
    float mu;
    float gamma;
};

inline unsigned payloadCode(const TurboQuantPayload& p, std::size_t dim) {
    return (p.codes[dim >> 3] >> (3 * (dim & 7))) & 7u;
}

}  // namespace korvane
