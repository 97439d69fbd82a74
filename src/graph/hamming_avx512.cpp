// AVX-512 population count with VPOPCNTDQ: two 512-bit halves per code.
#include <immintrin.h>

#include "common/simd_targets.h"
#include "graph/hamming_kernels.h"

namespace korvane {
namespace {

KORVANE_TARGET_AVX512_POPCOUNT inline std::uint32_t distance(__m512i q0, __m512i q1, const RoutingCode& code) {
    const __m512i c0 = _mm512_loadu_si512(code.words);
    const __m512i c1 = _mm512_loadu_si512(code.words + 8);
    const __m512i counts = _mm512_add_epi64(_mm512_popcnt_epi64(_mm512_xor_si512(q0, c0)),
                                            _mm512_popcnt_epi64(_mm512_xor_si512(q1, c1)));
    // Each lane holds at most 128: narrow the lanes to bytes and let one sum
    // of absolute differences add them, instead of a chain of extractions.
    const __m128i bytes = _mm512_maskz_cvtepi64_epi8(0xff, counts);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si64(_mm_sad_epu8(bytes, _mm_setzero_si128())));
}

}  // namespace

KORVANE_TARGET_AVX512_POPCOUNT std::uint32_t hammingAvx512(const RoutingCode& a, const RoutingCode& b) {
    return distance(_mm512_loadu_si512(a.words), _mm512_loadu_si512(a.words + 8), b);
}

KORVANE_TARGET_AVX512_POPCOUNT void hammingManyAvx512(const RoutingCode& query, const RoutingCode* codes,
                                                      const std::uint32_t* positions, std::size_t count,
                                                      std::uint32_t* out) {
    const __m512i q0 = _mm512_loadu_si512(query.words);
    const __m512i q1 = _mm512_loadu_si512(query.words + 8);
    for (std::size_t i = 0; i < count; ++i) out[i] = distance(q0, q1, codes[positions[i]]);
}

}  // namespace korvane
