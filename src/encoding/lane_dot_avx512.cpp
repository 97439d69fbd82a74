// AVX-512 kernels. A dot product is four independent fused multiply-add
// chains (lane j % 4), so one 128-bit lane of a register carries the four
// chains of one row exactly; a 512-bit register carries four rows (matVec)
// or one row against four vectors (matVecBlock). Each chain still takes its
// terms in increasing j, and the final ((A0 + A1) + A2) + A3 is done with
// element-wise adds, so the bits equal those of the scalar kernel.

// GCC 12's AVX-512 headers self-initialise their "undefined" registers, which
// -Wuninitialized reports wherever they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
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

KORVANE_TARGET_AVX512 inline float finishLanes(__m128 acc) {
    __m128 sum = _mm_add_ss(acc, _mm_shuffle_ps(acc, acc, 1));
    sum = _mm_add_ss(sum, _mm_movehl_ps(acc, acc));
    return _mm_cvtss_f32(_mm_add_ss(sum, _mm_shuffle_ps(acc, acc, 3)));
}

// Four 16-float pieces at `base + i * stride + col` (i < 4), regrouped so
// that t[s] = [piece0 step s | piece1 step s | piece2 step s | piece3 step s]
// (used to interleave vectors for the block kernel).
KORVANE_TARGET_AVX512 inline void loadFourSteps(const float* base, std::size_t stride, std::size_t col,
                                                __m512 t[4]) {
    const __m512 a = _mm512_loadu_ps(base + col);
    const __m512 b = _mm512_loadu_ps(base + stride + col);
    const __m512 c = _mm512_loadu_ps(base + 2 * stride + col);
    const __m512 d = _mm512_loadu_ps(base + 3 * stride + col);
    const __m512 ab01 = _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(1, 0, 1, 0));
    const __m512 ab23 = _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(3, 2, 3, 2));
    const __m512 cd01 = _mm512_shuffle_f32x4(c, d, _MM_SHUFFLE(1, 0, 1, 0));
    const __m512 cd23 = _mm512_shuffle_f32x4(c, d, _MM_SHUFFLE(3, 2, 3, 2));
    t[0] = _mm512_shuffle_f32x4(ab01, cd01, _MM_SHUFFLE(2, 0, 2, 0));
    t[1] = _mm512_shuffle_f32x4(ab01, cd01, _MM_SHUFFLE(3, 1, 3, 1));
    t[2] = _mm512_shuffle_f32x4(ab23, cd23, _MM_SHUFFLE(2, 0, 2, 0));
    t[3] = _mm512_shuffle_f32x4(ab23, cd23, _MM_SHUFFLE(3, 1, 3, 1));
}

// Within every 128-bit lane: result element i = ((A0 + A1) + A2) + A3 of
// acc[i], where A0..A3 are that lane's four elements of acc[i].
KORVANE_TARGET_AVX512 inline __m512 finishFourInLanes(const __m512 acc[4]) {
    const __m512 lo01 = _mm512_unpacklo_ps(acc[0], acc[1]);
    const __m512 hi01 = _mm512_unpackhi_ps(acc[0], acc[1]);
    const __m512 lo23 = _mm512_unpacklo_ps(acc[2], acc[3]);
    const __m512 hi23 = _mm512_unpackhi_ps(acc[2], acc[3]);
    const __m512 a0 = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(lo01), _mm512_castps_pd(lo23)));
    const __m512 a1 = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(lo01), _mm512_castps_pd(lo23)));
    const __m512 a2 = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(hi01), _mm512_castps_pd(hi23)));
    const __m512 a3 = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(hi01), _mm512_castps_pd(hi23)));
    return _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), a2), a3);
}

// [first k | first k+1 | second k | second k+1]: two 256-bit loads, the
// second broadcast so that a cheap blend (not a shuffle) merges them.
KORVANE_TARGET_AVX512 inline __m512 loadTwoStepsOfTwoRows(const float* first, const float* second) {
    return _mm512_mask_blend_ps(0xFF00, _mm512_castps256_ps512(_mm256_loadu_ps(first)),
                                _mm512_broadcast_f32x8(_mm256_loadu_ps(second)));
}

// Rows a..d at `rows`, steps k and k + 1, as t0 = [a k | b k | c k | d k]
// and t1 the same for k + 1, with one cross-lane shuffle per result: loads
// and cross-lane shuffles are what limit this loop.
KORVANE_TARGET_AVX512 inline void loadTwoStepsOfFourRows(const float* rows, std::size_t k, __m512& t0, __m512& t1,
                                                         std::size_t n) {
    const float* at = rows + 4 * k;
    const __m512 ab = loadTwoStepsOfTwoRows(at, at + n);
    const __m512 cd = loadTwoStepsOfTwoRows(at + 2 * n, at + 3 * n);
    t0 = _mm512_shuffle_f32x4(ab, cd, _MM_SHUFFLE(2, 0, 2, 0));
    t1 = _mm512_shuffle_f32x4(ab, cd, _MM_SHUFFLE(3, 1, 3, 1));
}

// Sixteen consecutive rows against one vector. Register g holds rows
// 4g..4g+3, one per 128-bit lane; four registers keep the FMA unit busy.
KORVANE_TARGET_AVX512 void matVecSixteenRows(const float* rows, const float* x, float* out, std::size_t n) {
    __m512 acc[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
    for (std::size_t k = 0; k < n / 4; k += 2) {
        const __m512 x0 = _mm512_broadcast_f32x4(_mm_loadu_ps(x + 4 * k));
        const __m512 x1 = _mm512_broadcast_f32x4(_mm_loadu_ps(x + 4 * k + 4));
#pragma GCC unroll 4
        for (int g = 0; g < 4; ++g) {
            __m512 t0, t1;
            loadTwoStepsOfFourRows(rows + 4 * g * n, k, t0, t1, n);
            acc[g] = _mm512_fmadd_ps(t0, x0, acc[g]);
            acc[g] = _mm512_fmadd_ps(t1, x1, acc[g]);
        }
    }
    // Element 4q + g of the sum is row 4g + q; put the rows in order.
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    _mm512_storeu_ps(out, _mm512_permutexvar_ps(order, finishFourInLanes(acc)));
}

// Four vectors interleaved step by step: packed[16 k + 4 q + l] = vector q,
// element 4 k + l, so one register load gives step k of all four.
KORVANE_TARGET_AVX512 void packGroup(const float* xs, float* packed, std::size_t n) {
    for (std::size_t col = 0; col < n; col += 16) {
        __m512 t[4];
        loadFourSteps(xs, n, col, t);
#pragma GCC unroll 4
        for (int s = 0; s < 4; ++s) _mm512_store_ps(packed + 4 * (col + 4 * s), t[s]);
    }
}

// Four rows against G packed groups (4 G vectors). Each row step is loaded
// once, broadcast to all lanes, and used for every group.
template <int G>
KORVANE_TARGET_AVX512 void blockFourRows(const float* rows, std::size_t row_count, const float* packed,
                                         float* out, std::size_t n) {
    __m512 acc[4][G];
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r)
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) acc[r][g] = _mm512_setzero_ps();
    for (std::size_t k = 0; k < n / 4; ++k) {
        __m512 m[4];
#pragma GCC unroll 4
        for (int r = 0; r < 4; ++r) m[r] = _mm512_broadcast_f32x4(_mm_loadu_ps(rows + r * n + 4 * k));
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) {
            const __m512 xv = _mm512_load_ps(packed + g * 4 * n + 16 * k);
#pragma GCC unroll 4
            for (int r = 0; r < 4; ++r) acc[r][g] = _mm512_fmadd_ps(m[r], xv, acc[r][g]);
        }
    }
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
        const __m512 group_acc[4] = {acc[0][g], acc[1][g], acc[2][g], acc[3][g]};
        // Lane q holds rows 0..3 for vector 4 g + q.
        const __m512 sums = finishFourInLanes(group_acc);
        float* vector_out = out + 4 * g * row_count;
        _mm_storeu_ps(vector_out, _mm512_extractf32x4_ps(sums, 0));
        _mm_storeu_ps(vector_out + row_count, _mm512_extractf32x4_ps(sums, 1));
        _mm_storeu_ps(vector_out + 2 * row_count, _mm512_extractf32x4_ps(sums, 2));
        _mm_storeu_ps(vector_out + 3 * row_count, _mm512_extractf32x4_ps(sums, 3));
    }
}

// Up to kTileVectors vectors (a multiple of 4) against the whole matrix.
KORVANE_TARGET_AVX512 void blockTile(const float* matrix, std::size_t rows, const float* xs, std::size_t count,
                                     float* out, std::size_t n) {
    alignas(64) float packed[kPackedFloats];
    const std::size_t groups = count / 4;
    for (std::size_t g = 0; g < groups; ++g) packGroup(xs + 4 * g * n, packed + g * 4 * n, n);
    const std::size_t quad_rows = rows & ~std::size_t{3};
    for (std::size_t r = 0; r < quad_rows; r += 4) {
        const float* quad = matrix + r * n;
        switch (groups) {
            case 4: blockFourRows<4>(quad, rows, packed, out + r, n); break;
            case 3: blockFourRows<3>(quad, rows, packed, out + r, n); break;
            case 2: blockFourRows<2>(quad, rows, packed, out + r, n); break;
            default: blockFourRows<1>(quad, rows, packed, out + r, n); break;
        }
    }
    for (std::size_t r = quad_rows; r < rows; ++r)
        for (std::size_t v = 0; v < count; ++v) out[v * rows + r] = laneDotAvx512(matrix + r * n, xs + v * n, n);
}

}  // namespace

KORVANE_TARGET_AVX512 float laneDotAvx512(const float* a, const float* b, std::size_t n) {
    __m128 acc = _mm_setzero_ps();
    for (std::size_t j = 0; j < n; j += 4) acc = _mm_fmadd_ps(_mm_loadu_ps(a + j), _mm_loadu_ps(b + j), acc);
    return finishLanes(acc);
}

KORVANE_TARGET_AVX512 void matVecAvx512(const float* matrix, std::size_t rows, const float* x, float* out,
                                        std::size_t n) {
    const std::size_t full = rows & ~std::size_t{15};
    for (std::size_t r = 0; r < full; r += 16) matVecSixteenRows(matrix + r * n, x, out + r, n);
    for (std::size_t r = full; r < rows; ++r) out[r] = laneDotAvx512(matrix + r * n, x, n);
}

KORVANE_TARGET_AVX512 void matVecBlockAvx512(const float* matrix, std::size_t rows, const float* xs,
                                             std::size_t count, float* out, std::size_t n) {
    const std::size_t grouped = count & ~std::size_t{3};
    const std::size_t fit = (kPackedFloats / n) & ~std::size_t{3};
    const std::size_t most = fit < kTileVectors ? fit : kTileVectors;
    for (std::size_t v = 0; v < grouped; v += most) {
        const std::size_t tile = grouped - v < most ? grouped - v : most;
        blockTile(matrix, rows, xs + v * n, tile, out + v * rows, n);
    }
    for (std::size_t v = grouped; v < count; ++v) matVecAvx512(matrix, rows, xs + v * n, out + v * rows, n);
}

KORVANE_TARGET_AVX512 void subtractScaledAvx512(float* row, float d, const float* earlier, std::size_t n) {
    subtractScaledBody(row, d, earlier, n);
}

}  // namespace korvane
