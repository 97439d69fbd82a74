// Run-time choice of SIMD kernels. Every kernel has a scalar twin that gives
// bit-identical results; the choice only changes speed.
#pragma once

namespace korvane {

enum class SimdPath {
    Scalar = 0,
    Avx2 = 1,    // AVX2 + FMA
    Avx512 = 2,  // AVX-512 F/BW/VL (+ VPOPCNTDQ where a kernel needs it)
};

struct CpuFeatures {
    bool avx2_fma;
    bool avx512;            // F, BW, VL, DQ
    bool avx512_vpopcntdq;
};

const CpuFeatures& cpuFeatures();

// The path in use: the best the CPU supports, unless a test forced another.
SimdPath activeSimdPath();

// Test hook: force a path (ignored, returning false, when the CPU lacks it).
bool forceSimdPath(SimdPath path);
void resetSimdPath();

bool simdPathSupported(SimdPath path);
const char* simdPathName(SimdPath path);

}  // namespace korvane
