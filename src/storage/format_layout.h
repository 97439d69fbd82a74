// Sizes and constants of the index file layout shared by writer and reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shape.h"
#include "storage/format.h"

namespace korvane {

constexpr std::uint8_t kMagic[4] = {'T', 'Q', 'X', '5'};
constexpr std::size_t kCalibrationBytes = 2 * kDim * sizeof(float);
constexpr std::size_t kMatrixBytes = (kDim * kDim + kRoutingBits * kDim) * sizeof(float);
constexpr std::size_t kCodeBytes = kRoutingBits / 8;
constexpr std::size_t kMaxMetadataBytes = 65535;

// Raw block bytes per node: none, 256 f32, or 256 i8 plus a f32 scale.
constexpr std::size_t rawBytesPerNode(RawMode raw_mode) {
    return raw_mode == RawMode::F32 ? kDim * sizeof(float) : raw_mode == RawMode::I8 ? kDim + sizeof(float) : 0;
}

}  // namespace korvane
