// AVX2 estimate kernel: eight rows per register, one 32-bit lane per row
// holding its pair of levels, so a multiply-add of 16-bit pairs against the
// query's broadcast pair advances eight row sums by two columns exactly.
#include <immintrin.h>

#include <cstring>

#include "common/simd_targets.h"
#include "encoding/reduced_projection_kernels.h"

namespace korvane {
namespace {

constexpr int kRegisters = kRowsPerWord / 8;

// Bits of the eight rows (one per lane) whose estimate exceeds the bound,
// and of those left undecided; the float operations of decideRow.
KORVANE_TARGET_AVX2 inline void decideEight(__m256i sums, const float* coefficient, const float* level_norm,
                                     const float* inverse_scale, const QueryLevels& query, unsigned& positive,
                                     unsigned& undecided) {
    const __m256 bound = _mm256_add_ps(
        _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(coefficient), _mm256_set1_ps(query.norm_units)),
                      _mm256_mul_ps(_mm256_loadu_ps(level_norm), _mm256_set1_ps(query.residual_units))),
        _mm256_mul_ps(_mm256_loadu_ps(inverse_scale), _mm256_set1_ps(query.underflow_units)));
    const __m256 value = _mm256_cvtepi32_ps(sums);
    const __m256 negative_bound = _mm256_xor_ps(bound, _mm256_set1_ps(-0.0f));
    const unsigned above = unsigned(_mm256_movemask_ps(_mm256_cmp_ps(value, bound, _CMP_GT_OQ)));
    const unsigned below = unsigned(_mm256_movemask_ps(_mm256_cmp_ps(value, negative_bound, _CMP_LT_OQ)));
    positive = above;
    undecided = ~(above | below) & 0xffu;
}

}  // namespace

KORVANE_TARGET_AVX2 WordSigns estimateWordAvx2(const ReducedProjection& reduced, const QueryLevels& query,
                                        std::size_t word) {
    __m256i acc[kRegisters];
#pragma GCC unroll 8
    for (int k = 0; k < kRegisters; ++k) acc[k] = _mm256_setzero_si256();
    const auto* block = reinterpret_cast<const __m256i*>(reduced.levels + word * reduced.pairs * kRowsPerWord * 2);
    for (std::size_t p = 0; p < reduced.pairs; ++p) {
        std::int32_t pair;
        std::memcpy(&pair, query.levels + 2 * p, sizeof pair);
        const __m256i levels = _mm256_set1_epi32(pair);
#pragma GCC unroll 8
        for (int k = 0; k < kRegisters; ++k)
            acc[k] = _mm256_add_epi32(acc[k], _mm256_madd_epi16(_mm256_load_si256(block + p * kRegisters + k), levels));
    }
    WordSigns signs{0, 0};
    const std::size_t first = word * kRowsPerWord;
    for (int k = 0; k < kRegisters; ++k) {
        const std::size_t row = first + 8 * std::size_t(k);
        unsigned positive = 0, undecided = 0;
        decideEight(acc[k], reduced.bound_coefficient + row, reduced.level_norm + row, reduced.inverse_scale + row,
                    query, positive, undecided);
        signs.positive |= std::uint64_t(positive) << (8 * k);
        signs.undecided |= std::uint64_t(undecided) << (8 * k);
    }
    return signs;
}

}  // namespace korvane
