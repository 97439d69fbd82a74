#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu.h"
#include "graph/records.h"

namespace korvane {

// Number of differing bits of two codes, 0..1024.
std::uint32_t hammingDistance(const RoutingCode& a, const RoutingCode& b);
std::uint32_t hammingDistanceOn(SimdPath path, const RoutingCode& a, const RoutingCode& b);

// out[i] = hammingDistance(query, codes[positions[i]]) for i < count, with the
// query kept in registers across the whole list.
void hammingDistances(const RoutingCode& query, const RoutingCode* codes,
                      const std::uint32_t* positions, std::size_t count, std::uint32_t* out);
void hammingDistancesOn(SimdPath path, const RoutingCode& query, const RoutingCode* codes,
                        const std::uint32_t* positions, std::size_t count, std::uint32_t* out);

}  // namespace korvane
