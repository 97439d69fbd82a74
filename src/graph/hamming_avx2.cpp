// AVX2 population count: per-nibble table lookups, byte sums folded with
// a sum of absolute differences against zero.
#include <immintrin.h>

#include "common/simd_targets.h"
#include "graph/hamming_kernels.h"

namespace korvane {
namespace {

struct CodeRegs {
    __m256i part[4];
};

KORVANE_TARGET_AVX2 inline CodeRegs loadCode(const RoutingCode& code) {
    const auto* p = reinterpret_cast<const __m256i*>(code.words);
    return {{_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1), _mm256_loadu_si256(p + 2),
             _mm256_loadu_si256(p + 3)}};
}

KORVANE_TARGET_AVX2 inline __m256i bytePopcount(__m256i v) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low_nibble = _mm256_set1_epi8(0x0f);
    const __m256i lo = _mm256_and_si256(v, low_nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibble);
    return _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
}

// Each byte count is at most 8, so four of them summed per byte stay below 256.
KORVANE_TARGET_AVX2 inline std::uint32_t distance(const CodeRegs& q, const RoutingCode& code) {
    const CodeRegs c = loadCode(code);
    __m256i bytes = bytePopcount(_mm256_xor_si256(q.part[0], c.part[0]));
    for (int i = 1; i < 4; ++i)
        bytes = _mm256_add_epi8(bytes, bytePopcount(_mm256_xor_si256(q.part[i], c.part[i])));
    const __m256i sums = _mm256_sad_epu8(bytes, _mm256_setzero_si256());
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

}  // namespace

KORVANE_TARGET_AVX2 std::uint32_t hammingAvx2(const RoutingCode& a, const RoutingCode& b) {
    return distance(loadCode(a), b);
}

KORVANE_TARGET_AVX2 void hammingManyAvx2(const RoutingCode& query, const RoutingCode* codes,
                                         const std::uint32_t* positions, std::size_t count,
                                         std::uint32_t* out) {
    const CodeRegs q = loadCode(query);
    for (std::size_t i = 0; i < count; ++i) out[i] = distance(q, codes[positions[i]]);
}

}  // namespace korvane
