// AVX2 + FMA kernels. A dot product is four independent fused multiply-add
// chains (lane j % 4), so one 128-bit lane of a register carries the four
// chains of one row exactly; a 256-bit register carries two rows (matVec) or
// one row against two vectors (matVecBlock). Each chain still takes its terms
// in increasing j, and the final ((A0 + A1) + A2) + A3 is done with
// element-wise adds, so the bits equal those of the scalar kernel.
#include <immintrin.h>

#include "common/shape.h"
#include "common/simd_targets.h"
#include "encoding/lane_dot_kernels.h"

namespace korvane {
namespace {

// Vectors are packed into a fixed room on the stack; longer vectors make
// smaller tiles (always a whole number of the kernel's vector groups).
constexpr std::size_t kPackedFloats = 16 * 1024;
constexpr std::size_t kTileVectors = 16;  // vectors packed per block tile, at most

KORVANE_TARGET_AVX2 inline float finishLanes(__m128 acc) {
    __m128 sum = _mm_add_ss(acc, _mm_shuffle_ps(acc, acc, 1));
    sum = _mm_add_ss(sum, _mm_movehl_ps(acc, acc));
    return _mm_cvtss_f32(_mm_add_ss(sum, _mm_shuffle_ps(acc, acc, 3)));
}

// Two 8-float pieces at `first + col` and `second + col`, regrouped so that
// t[s] = [first step s | second step s].
KORVANE_TARGET_AVX2 inline void loadTwoSteps(const float* first, const float* second, std::size_t col,
                                             __m256 t[2]) {
    const __m256 a = _mm256_loadu_ps(first + col);
    const __m256 b = _mm256_loadu_ps(second + col);
    t[0] = _mm256_permute2f128_ps(a, b, 0x20);
    t[1] = _mm256_permute2f128_ps(a, b, 0x31);
}

// Within every 128-bit lane: result element i = ((A0 + A1) + A2) + A3 of
// acc[i], where A0..A3 are that lane's four elements of acc[i].
KORVANE_TARGET_AVX2 inline __m256 finishFourInLanes(const __m256 acc[4]) {
    const __m256 lo01 = _mm256_unpacklo_ps(acc[0], acc[1]);
    const __m256 hi01 = _mm256_unpackhi_ps(acc[0], acc[1]);
    const __m256 lo23 = _mm256_unpacklo_ps(acc[2], acc[3]);
    const __m256 hi23 = _mm256_unpackhi_ps(acc[2], acc[3]);
    const __m256 a0 = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(lo01), _mm256_castps_pd(lo23)));
    const __m256 a1 = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(lo01), _mm256_castps_pd(lo23)));
    const __m256 a2 = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(hi01), _mm256_castps_pd(hi23)));
    const __m256 a3 = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(hi01), _mm256_castps_pd(hi23)));
    return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), a2), a3);
}

// [first step k | second step k]: a 128-bit load and an insert from memory,
// cheaper here than two full loads and a cross-lane shuffle.
KORVANE_TARGET_AVX2 inline __m256 loadStepOfTwoRows(const float* first, const float* second, std::size_t k) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(first + 4 * k)), _mm_loadu_ps(second + 4 * k), 1);
}

// Sixteen consecutive rows against one vector. Register p holds rows 2p and
// 2p + 1, one per 128-bit lane; two sets of four registers (rows 0..7 and
// 8..15) keep both FMA units busy.
KORVANE_TARGET_AVX2 void matVecSixteenRows(const float* rows, const float* x, float* out, std::size_t n) {
    __m256 acc[2][4];
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h)
#pragma GCC unroll 4
        for (int p = 0; p < 4; ++p) acc[h][p] = _mm256_setzero_ps();
    for (std::size_t k = 0; k < n / 4; ++k) {
        const __m256 xk = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(x + 4 * k));
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h)
#pragma GCC unroll 4
            for (int p = 0; p < 4; ++p) {
                const float* first = rows + (8 * h + 2 * p) * n;
                acc[h][p] = _mm256_fmadd_ps(loadStepOfTwoRows(first, first + n, k), xk, acc[h][p]);
            }
    }
    // Element 4h + p of each sum is row 2p + h; put the rows in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_ps(out, _mm256_permutevar8x32_ps(finishFourInLanes(acc[0]), order));
    _mm256_storeu_ps(out + 8, _mm256_permutevar8x32_ps(finishFourInLanes(acc[1]), order));
}

// Two vectors interleaved step by step: packed[8 k + 4 h + l] = vector h,
// element 4 k + l, so one register load gives step k of both.
KORVANE_TARGET_AVX2 void packPair(const float* xs, float* packed, std::size_t n) {
    for (std::size_t col = 0; col < n; col += 8) {
        __m256 t[2];
        loadTwoSteps(xs, xs + n, col, t);
        _mm256_store_ps(packed + 2 * col, t[0]);
        _mm256_store_ps(packed + 2 * col + 8, t[1]);
    }
}

// Four rows against P packed pairs (2 P vectors). Each row step is loaded
// once, broadcast to both lanes, and used for every pair.
template <int P>
KORVANE_TARGET_AVX2 void blockFourRows(const float* rows, std::size_t row_count, const float* packed,
                                       float* out, std::size_t n) {
    __m256 acc[4][P];
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r)
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) acc[r][p] = _mm256_setzero_ps();
    for (std::size_t k = 0; k < n / 4; ++k) {
        __m256 m[4];
#pragma GCC unroll 4
        for (int r = 0; r < 4; ++r)
            m[r] = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(rows + r * n + 4 * k));
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) {
            const __m256 xv = _mm256_load_ps(packed + p * 2 * n + 8 * k);
#pragma GCC unroll 4
            for (int r = 0; r < 4; ++r) acc[r][p] = _mm256_fmadd_ps(m[r], xv, acc[r][p]);
        }
    }
#pragma GCC unroll 4
    for (int p = 0; p < P; ++p) {
        const __m256 pair_acc[4] = {acc[0][p], acc[1][p], acc[2][p], acc[3][p]};
        // Lane h holds rows 0..3 for vector 2 p + h.
        const __m256 sums = finishFourInLanes(pair_acc);
        float* vector_out = out + 2 * p * row_count;
        _mm_storeu_ps(vector_out, _mm256_castps256_ps128(sums));
        _mm_storeu_ps(vector_out + row_count, _mm256_extractf128_ps(sums, 1));
    }
}

// Up to kTileVectors vectors (a multiple of 2) against the whole matrix. The
// tile stays in L1 while each group of four rows is used for all of it.
KORVANE_TARGET_AVX2 void blockTile(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                                   float* out, std::size_t n) {
    alignas(32) float packed[kPackedFloats];
    const std::size_t pairs = count / 2;
    for (std::size_t p = 0; p < pairs; ++p) packPair(xs + 2 * p * n, packed + p * 2 * n, n);
    const std::size_t quad_rows = rows & ~std::size_t{3};
    for (std::size_t r = 0; r < quad_rows; r += 4) {
        const float* quad = matrix + r * n;
        std::size_t p = 0;
        for (; p + 2 <= pairs; p += 2)
            blockFourRows<2>(quad, rows, packed + p * 2 * n, out + 2 * p * rows + r, n);
        if (p < pairs) blockFourRows<1>(quad, rows, packed + p * 2 * n, out + 2 * p * rows + r, n);
    }
    for (std::size_t r = quad_rows; r < rows; ++r)
        for (std::size_t v = 0; v < count; ++v) out[v * rows + r] = laneDotAvx2(matrix + r * n, xs + v * n, n);
}

}  // namespace

KORVANE_TARGET_AVX2 float laneDotAvx2(const float* a, const float* b, std::size_t n) {
    __m128 acc = _mm_setzero_ps();
    for (std::size_t j = 0; j < n; j += 4) acc = _mm_fmadd_ps(_mm_loadu_ps(a + j), _mm_loadu_ps(b + j), acc);
    return finishLanes(acc);
}

KORVANE_TARGET_AVX2 void matVecAvx2(const float* matrix, std::size_t rows, const float* x, float* out,
                                    std::size_t n) {
    const std::size_t full = rows & ~std::size_t{15};
    for (std::size_t r = 0; r < full; r += 16) matVecSixteenRows(matrix + r * n, x, out + r, n);
    for (std::size_t r = full; r < rows; ++r) out[r] = laneDotAvx2(matrix + r * n, x, n);
}

KORVANE_TARGET_AVX2 void matVecBlockAvx2(const float* matrix, std::size_t rows, const float* xs,
                                         std::size_t count, float* out, std::size_t n) {
    const std::size_t paired = count & ~std::size_t{1};
    const std::size_t fit = (kPackedFloats / n) & ~std::size_t{1};
    const std::size_t most = fit < kTileVectors ? fit : kTileVectors;
    for (std::size_t v = 0; v < paired; v += most) {
        const std::size_t tile = paired - v < most ? paired - v : most;
        blockTile(matrix, rows, xs + v * n, tile, out + v * rows, n);
    }
    if (paired < count) matVecAvx2(matrix, rows, xs + paired * n, out + paired * rows, n);
}

KORVANE_TARGET_AVX2 void subtractScaledAvx2(float* row, float d, const float* earlier, std::size_t n) {
    subtractScaledBody(row, d, earlier, n);
}

}  // namespace korvane
