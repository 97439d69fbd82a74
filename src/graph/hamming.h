// Hamming distance between routing codes, the only distance in the graph.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu.h"
#include "common/routing_code.h"

namespace korvane {

// The population-count kernels of one path.
struct HammingKernels {
    // Number of differing bits of two codes, 0..1024.
    std::uint32_t (*distance)(const RoutingCode& a, const RoutingCode& b);
    // out[i] = distance(query, codes[positions[i]]) for i < count, with the
    // query kept in registers across the whole list.
    void (*distances)(const RoutingCode& query, const RoutingCode* codes, const std::uint32_t* positions,
                      std::size_t count, std::uint32_t* out);
};

// The kernels of a named path (by the fallback rule of common/cpu.h; the
// AVX-512 entry also needs VPOPCNTDQ), for tests and benchmarks; and those of
// the process's path, chosen once. Graph walks fetch the latter once per walk.
const HammingKernels& hammingKernelsFor(SimdPath path);
const HammingKernels& hammingKernels();

inline std::uint32_t hammingDistance(const RoutingCode& a, const RoutingCode& b) {
    return hammingKernels().distance(a, b);
}

inline void hammingDistances(const RoutingCode& query, const RoutingCode* codes, const std::uint32_t* positions,
                             std::size_t count, std::uint32_t* out) {
    hammingKernels().distances(query, codes, positions, count, out);
}

}  // namespace korvane
