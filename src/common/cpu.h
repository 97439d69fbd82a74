// Run-time choice of SIMD kernels. Every kernel has a scalar twin that gives
// bit-identical results; the choice only changes speed.
//
// The process's path is chosen once, at first use: the best the CPU
// supports, or the one the environment variable KORVANE_SIMD names
// (scalar, avx2 or avx512; an unknown value is ignored). Each kernel family
// keeps a table with one entry per path and takes its entry by one rule: the
// best path at or below the requested one that the CPU supports.
#pragma once

#include <cstddef>

namespace korvane {

enum class SimdPath {
    Scalar = 0,
    Avx2 = 1,    // AVX2 + FMA
    Avx512 = 2,  // AVX-512 F/BW/VL/DQ on top of AVX2 + FMA
};
constexpr std::size_t kSimdPathCount = 3;

struct CpuFeatures {
    bool avx2_fma;
    bool avx512;            // F, BW, VL, DQ
    bool avx512_vpopcntdq;
};

const CpuFeatures& cpuFeatures();

// What a family's AVX-512 kernels need beyond the path's base set.
enum class Avx512Extra { None, Popcount };

bool simdPathSupported(SimdPath path, Avx512Extra extra = Avx512Extra::None);

// The one fallback rule of every family.
SimdPath supportedPathAtOrBelow(SimdPath requested, Avx512Extra extra = Avx512Extra::None);

// The process's path, chosen once (thread-safe) as described above.
SimdPath activeSimdPath();

const char* simdPathName(SimdPath path);
// False, leaving *path alone, for anything but "scalar", "avx2" or "avx512".
bool parseSimdPath(const char* name, SimdPath* path);

// A family's entry for a requested path, from its table of one entry per path.
template <class Kernels>
const Kernels& kernelsAtOrBelow(const Kernels (&by_path)[kSimdPathCount], SimdPath requested,
                                Avx512Extra extra = Avx512Extra::None) {
    return by_path[static_cast<std::size_t>(supportedPathAtOrBelow(requested, extra))];
}

}  // namespace korvane
