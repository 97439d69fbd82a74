// The target attributes of the instruction-set levels, spelled once. A
// kernel compiled for a level may run only when the CPU has that level (see
// common/cpu.h); each level includes the ones below it.
#pragma once

#define KORVANE_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define KORVANE_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx2,fma")))
// AVX-512 with the vector population count (VPOPCNTDQ).
#define KORVANE_TARGET_AVX512_POPCOUNT \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vpopcntdq,avx2,fma")))
// AVX-512 with the 16-bit pair dot products of VNNI.
#define KORVANE_TARGET_AVX512_VNNI \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vnni,avx2,fma")))
