#pragma once

#include <cstdint>

#include "common/cpu.h"
#include "graph/records.h"

namespace korvane {

// Number of differing bits of two codes, 0..1024.
std::uint32_t hammingDistance(const RoutingCode& a, const RoutingCode& b);
std::uint32_t hammingDistanceOn(SimdPath path, const RoutingCode& a, const RoutingCode& b);

}  // namespace korvane
