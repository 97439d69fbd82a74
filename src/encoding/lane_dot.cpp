// The dot-product family's table.
#include "encoding/lane_dot.h"

#include "encoding/lane_dot_kernels.h"

namespace korvane {

const LaneDotKernels& laneDotKernelsFor(SimdPath path) {
    static constexpr LaneDotKernels kByPath[kSimdPathCount] = {
        {laneDotScalar, matVecScalar, matVecBlockScalar, subtractScaledScalar},
        {laneDotAvx2, matVecAvx2, matVecBlockAvx2, subtractScaledAvx2},
        {laneDotAvx512, matVecAvx512, matVecBlockAvx512, subtractScaledAvx512},
    };
    return kernelsAtOrBelow(kByPath, path);
}

const LaneDotKernels& laneDotKernels() {
    static const LaneDotKernels& chosen = laneDotKernelsFor(activeSimdPath());
    return chosen;
}

}  // namespace korvane
