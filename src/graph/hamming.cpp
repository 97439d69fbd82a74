// The population-count family's table. The AVX-512 kernels need VPOPCNTDQ on
// top of the base AVX-512 set; without it the AVX2 kernels do the work.
#include "graph/hamming.h"

#include "graph/hamming_kernels.h"

namespace korvane {

const HammingKernels& hammingKernelsFor(SimdPath path) {
    static constexpr HammingKernels kByPath[kSimdPathCount] = {
        {hammingScalar, hammingManyScalar},
        {hammingAvx2, hammingManyAvx2},
        {hammingAvx512, hammingManyAvx512},
    };
    return kernelsAtOrBelow(kByPath, path, Avx512Extra::Popcount);
}

const HammingKernels& hammingKernels() {
    static const HammingKernels& chosen = hammingKernelsFor(activeSimdPath());
    return chosen;
}

}  // namespace korvane
