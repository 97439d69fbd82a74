// AVX-512 estimate kernel: the AVX2 scheme with sixteen rows per register and
// the pair products and their sum in one VNNI instruction. Even and odd
// column pairs go to separate accumulators so that consecutive instructions
// do not wait on each other; integer sums are exact in any order. Without
// VNNI the AVX2 kernel serves this path.
// GCC 12's AVX-512 headers self-initialise their "undefined" registers, which
// -Wuninitialized reports wherever they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstring>

#include "common/simd_targets.h"
#include "encoding/reduced_projection_kernels.h"

namespace korvane {
namespace {

constexpr int kRegisters = kRowsPerWord / 16;

KORVANE_TARGET_AVX512_VNNI inline __m512i pairOf(const QueryLevels& query, std::size_t p) {
    std::int32_t pair;
    std::memcpy(&pair, query.levels + 2 * p, sizeof pair);
    return _mm512_set1_epi32(pair);
}

// The float operations of decideRow on sixteen rows.
KORVANE_TARGET_AVX512_VNNI inline void decideSixteen(__m512i sums, const float* coefficient, const float* level_norm,
                                         const float* inverse_scale, const QueryLevels& query,
                                         __mmask16& positive, __mmask16& undecided) {
    const __m512 bound = _mm512_add_ps(
        _mm512_add_ps(_mm512_mul_ps(_mm512_loadu_ps(coefficient), _mm512_set1_ps(query.norm_units)),
                      _mm512_mul_ps(_mm512_loadu_ps(level_norm), _mm512_set1_ps(query.residual_units))),
        _mm512_mul_ps(_mm512_loadu_ps(inverse_scale), _mm512_set1_ps(query.underflow_units)));
    const __m512 value = _mm512_cvtepi32_ps(sums);
    const __m512 negative_bound = _mm512_xor_ps(bound, _mm512_set1_ps(-0.0f));
    positive = _mm512_cmp_ps_mask(value, bound, _CMP_GT_OQ);
    const __mmask16 below = _mm512_cmp_ps_mask(value, negative_bound, _CMP_LT_OQ);
    undecided = static_cast<__mmask16>(~(positive | below));
}

bool hasVnni() {
    static const bool vnni = __builtin_cpu_supports("avx512vnni");
    return vnni;
}

KORVANE_TARGET_AVX512_VNNI WordSigns estimateWordVnni(const ReducedProjection& reduced, const QueryLevels& query,
                                            std::size_t word) {
    __m512i even[kRegisters], odd[kRegisters];
#pragma GCC unroll 4
    for (int k = 0; k < kRegisters; ++k) even[k] = odd[k] = _mm512_setzero_si512();
    const auto* block = reinterpret_cast<const __m512i*>(reduced.levels + word * reduced.pairs * kRowsPerWord * 2);
    for (std::size_t p = 0; p < reduced.pairs; p += 2) {
        const __m512i first = pairOf(query, p);
        const __m512i second = pairOf(query, p + 1);
#pragma GCC unroll 4
        for (int k = 0; k < kRegisters; ++k) {
            even[k] = _mm512_dpwssd_epi32(even[k], _mm512_load_si512(block + p * kRegisters + k), first);
            odd[k] = _mm512_dpwssd_epi32(odd[k], _mm512_load_si512(block + (p + 1) * kRegisters + k), second);
        }
    }
    WordSigns signs{0, 0};
    const std::size_t first = word * kRowsPerWord;
    for (int k = 0; k < kRegisters; ++k) {
        const std::size_t row = first + 16 * std::size_t(k);
        __mmask16 positive = 0, undecided = 0;
        decideSixteen(_mm512_add_epi32(even[k], odd[k]), reduced.bound_coefficient + row, reduced.level_norm + row,
                      reduced.inverse_scale + row, query, positive, undecided);
        signs.positive |= std::uint64_t(positive) << (16 * k);
        signs.undecided |= std::uint64_t(undecided) << (16 * k);
    }
    return signs;
}

}  // namespace

WordSigns estimateWordAvx512(const ReducedProjection& reduced, const QueryLevels& query, std::size_t word) {
    return hasVnni() ? estimateWordVnni(reduced, query, word) : estimateWordAvx2(reduced, query, word);
}

}  // namespace korvane
