#include "common/cpu.h"

#include <atomic>

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

SimdPath bestPath(const CpuFeatures& f) {
    if (f.avx512 && f.avx2_fma) return SimdPath::Avx512;
    if (f.avx2_fma) return SimdPath::Avx2;
    return SimdPath::Scalar;
}

std::atomic<int> g_forced{-1};

}  // namespace

const CpuFeatures& cpuFeatures() {
    static const CpuFeatures features = detect();
    return features;
}

bool simdPathSupported(SimdPath path) {
    switch (path) {
        case SimdPath::Scalar: return true;
        case SimdPath::Avx2: return cpuFeatures().avx2_fma;
        case SimdPath::Avx512: return cpuFeatures().avx512 && cpuFeatures().avx2_fma;
    }
    return false;
}

SimdPath activeSimdPath() {
    const int forced = g_forced.load(std::memory_order_relaxed);
    if (forced >= 0) return static_cast<SimdPath>(forced);
    static const SimdPath best = bestPath(cpuFeatures());
    return best;
}

bool forceSimdPath(SimdPath path) {
    if (!simdPathSupported(path)) return false;
    g_forced.store(static_cast<int>(path), std::memory_order_relaxed);
    return true;
}

void resetSimdPath() { g_forced.store(-1, std::memory_order_relaxed); }

const char* simdPathName(SimdPath path) {
    switch (path) {
        case SimdPath::Scalar: return "scalar";
        case SimdPath::Avx2: return "avx2";
        case SimdPath::Avx512: return "avx512";
    }
    return "?";
}

}  // namespace korvane
