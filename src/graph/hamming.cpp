// Run-time choice of the population-count kernel. The AVX-512 path needs
// VPOPCNTDQ on top of the base AVX-512 set; without it AVX2 does the work.
#include "graph/hamming.h"

#include "graph/hamming_kernels.h"

namespace korvane {
namespace {

enum class Kernel { Scalar, Avx2, Avx512 };

Kernel kernelFor(SimdPath path) {
    if (!simdPathSupported(path)) return Kernel::Scalar;
    if (path == SimdPath::Avx512 && cpuFeatures().avx512_vpopcntdq) return Kernel::Avx512;
    if (path == SimdPath::Scalar) return Kernel::Scalar;
    return Kernel::Avx2;
}

}  // namespace

std::uint32_t hammingDistanceOn(SimdPath path, const RoutingCode& a, const RoutingCode& b) {
    switch (kernelFor(path)) {
        case Kernel::Avx512: return hammingAvx512(a, b);
        case Kernel::Avx2: return hammingAvx2(a, b);
        case Kernel::Scalar: break;
    }
    return hammingScalar(a, b);
}

void hammingDistancesOn(SimdPath path, const RoutingCode& query, const RoutingCode* codes,
                        const std::uint32_t* positions, std::size_t count, std::uint32_t* out) {
    switch (kernelFor(path)) {
        case Kernel::Avx512: return hammingManyAvx512(query, codes, positions, count, out);
        case Kernel::Avx2: return hammingManyAvx2(query, codes, positions, count, out);
        case Kernel::Scalar: break;
    }
    hammingManyScalar(query, codes, positions, count, out);
}

std::uint32_t hammingDistance(const RoutingCode& a, const RoutingCode& b) {
    return hammingDistanceOn(activeSimdPath(), a, b);
}

void hammingDistances(const RoutingCode& query, const RoutingCode* codes,
                      const std::uint32_t* positions, std::size_t count, std::uint32_t* out) {
    hammingDistancesOn(activeSimdPath(), query, codes, positions, count, out);
}

}  // namespace korvane
