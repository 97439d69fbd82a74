// The kernels of the table in hamming.cpp. The AVX2 and AVX-512
// kernels may only be called on CPUs that have the instructions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/routing_code.h"

namespace korvane {

std::uint32_t hammingScalar(const RoutingCode& a, const RoutingCode& b);
std::uint32_t hammingAvx2(const RoutingCode& a, const RoutingCode& b);
std::uint32_t hammingAvx512(const RoutingCode& a, const RoutingCode& b);

void hammingManyScalar(const RoutingCode& query, const RoutingCode* codes,
                       const std::uint32_t* positions, std::size_t count, std::uint32_t* out);
void hammingManyAvx2(const RoutingCode& query, const RoutingCode* codes,
                     const std::uint32_t* positions, std::size_t count, std::uint32_t* out);
void hammingManyAvx512(const RoutingCode& query, const RoutingCode* codes,
                       const std::uint32_t* positions, std::size_t count, std::uint32_t* out);

}  // namespace korvane
