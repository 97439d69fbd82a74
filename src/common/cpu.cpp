#include "common/cpu.h"

#include <cstdlib>
#include <cstring>

namespace korvane {
namespace {

CpuFeatures detect() {
    __builtin_cpu_init();
    CpuFeatures f{};
    f.avx2_fma = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    f.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    f.avx512_vpopcntdq = f.avx512 && __builtin_cpu_supports("avx512vpopcntdq");
    return f;
}

constexpr const char* kPathNames[kSimdPathCount] = {"scalar", "avx2", "avx512"};

// The requested path: KORVANE_SIMD when it names one, otherwise the widest.
SimdPath requestedPath() {
    SimdPath path = SimdPath::Avx512;
    if (const char* named = std::getenv("KORVANE_SIMD")) parseSimdPath(named, &path);
    return path;
}

}  // namespace

const CpuFeatures& cpuFeatures() {
    static const CpuFeatures features = detect();
    return features;
}

bool simdPathSupported(SimdPath path, Avx512Extra extra) {
    const CpuFeatures& f = cpuFeatures();
    switch (path) {
        case SimdPath::Scalar: return true;
        case SimdPath::Avx2: return f.avx2_fma;
        case SimdPath::Avx512:
            return f.avx2_fma && f.avx512 && (extra != Avx512Extra::Popcount || f.avx512_vpopcntdq);
    }
    return false;
}

SimdPath supportedPathAtOrBelow(SimdPath requested, Avx512Extra extra) {
    auto level = static_cast<std::size_t>(requested);
    if (level >= kSimdPathCount) level = kSimdPathCount - 1;
    while (level > 0 && !simdPathSupported(static_cast<SimdPath>(level), extra)) --level;
    return static_cast<SimdPath>(level);
}

SimdPath activeSimdPath() {
    static const SimdPath path = supportedPathAtOrBelow(requestedPath());
    return path;
}

const char* simdPathName(SimdPath path) {
    const auto level = static_cast<std::size_t>(path);
    return level < kSimdPathCount ? kPathNames[level] : "?";
}

bool parseSimdPath(const char* name, SimdPath* path) {
    for (std::size_t level = 0; level < kSimdPathCount; ++level) {
        if (std::strcmp(name, kPathNames[level]) == 0) {
            *path = static_cast<SimdPath>(level);
            return true;
        }
    }
    return false;
}

}  // namespace korvane
