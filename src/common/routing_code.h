// The routing code of a vector: one sign bit per routing projection. Both
// the encoder that computes codes and the graph that links them use it.
#pragma once

#include <cstdint>

#include "common/shape.h"

namespace korvane {

// Bit j is bit j % 64 of word j / 64 (little-endian bytes: byte j / 8, bit j % 8).
struct RoutingCode {
    std::uint64_t words[kRoutingWords];
};
static_assert(sizeof(RoutingCode) == 128);

}  // namespace korvane
