// AVX-512 block scorers: the AVX2 layouts at twice the width. Each result
// lane reproduces the scalar order of operations of one item.
// g++ 12 flags its own AVX-512 intrinsic headers (self-initialised
// placeholders) and, through them, the stores that follow.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <algorithm>

#include "common/shape.h"
#include "common/simd_targets.h"
#include "encoding/scoring_kernels.h"

namespace korvane {
namespace {

constexpr std::size_t kLanes = 16;
constexpr std::size_t kMaxVectors = 4;  // independent dependency chains per tile

// Lays code groups 16 part .. 16 part + 15 of up to sixteen payloads out
// lane by lane: codes[g * width + k] = group 16 part + g of payload k, zero
// for the missing ones. A 16x16 transpose of 32-bit words. Groups past the
// payload's last (a shape with an odd number of eights) are not read.
KORVANE_TARGET_AVX512 void transposeCodes(const TurboQuantPayload* const* payloads, std::size_t n,
                                          std::uint32_t* codes, std::size_t width, std::size_t part,
                                          std::size_t groups) {
    {
        const std::size_t present = groups - 16 * part < 16 ? groups - 16 * part : 16;
        const __mmask16 mask = __mmask16((1u << present) - 1u);
        __m512i r[16];
        for (std::size_t k = 0; k < 16; ++k) {
            r[k] = k < n ? _mm512_maskz_loadu_epi32(mask, payloads[k]->codes + 16 * part) : _mm512_setzero_si512();
        }
        __m512i a[16];
        for (std::size_t p = 0; p < 8; ++p) {
            a[2 * p] = _mm512_unpacklo_epi32(r[2 * p], r[2 * p + 1]);
            a[2 * p + 1] = _mm512_unpackhi_epi32(r[2 * p], r[2 * p + 1]);
        }
        // b[4q + s], 128-bit lane L: payloads 4q..4q+3 of group 4L + s.
        __m512i b[16];
        for (std::size_t q = 0; q < 4; ++q) {
            b[4 * q + 0] = _mm512_unpacklo_epi64(a[4 * q], a[4 * q + 2]);
            b[4 * q + 1] = _mm512_unpackhi_epi64(a[4 * q], a[4 * q + 2]);
            b[4 * q + 2] = _mm512_unpacklo_epi64(a[4 * q + 1], a[4 * q + 3]);
            b[4 * q + 3] = _mm512_unpackhi_epi64(a[4 * q + 1], a[4 * q + 3]);
        }
        // For each s, a 4x4 transpose of 128-bit lanes across b[s], b[4+s],
        // b[8+s], b[12+s] gives groups s, 4+s, 8+s and 12+s.
        std::uint32_t* base = codes;
        for (std::size_t s = 0; s < 4; ++s) {
            const __m512i c0 = _mm512_shuffle_i32x4(b[s], b[4 + s], _MM_SHUFFLE(1, 0, 1, 0));
            const __m512i c1 = _mm512_shuffle_i32x4(b[s], b[4 + s], _MM_SHUFFLE(3, 2, 3, 2));
            const __m512i c2 = _mm512_shuffle_i32x4(b[8 + s], b[12 + s], _MM_SHUFFLE(1, 0, 1, 0));
            const __m512i c3 = _mm512_shuffle_i32x4(b[8 + s], b[12 + s], _MM_SHUFFLE(3, 2, 3, 2));
            _mm512_store_si512(base + s * width, _mm512_shuffle_i32x4(c0, c2, _MM_SHUFFLE(2, 0, 2, 0)));
            _mm512_store_si512(base + (4 + s) * width, _mm512_shuffle_i32x4(c0, c2, _MM_SHUFFLE(3, 1, 3, 1)));
            _mm512_store_si512(base + (8 + s) * width, _mm512_shuffle_i32x4(c1, c3, _MM_SHUFFLE(2, 0, 2, 0)));
            _mm512_store_si512(base + (12 + s) * width, _mm512_shuffle_i32x4(c1, c3, _MM_SHUFFLE(3, 1, 3, 1)));
        }
    }
}

// One payload per lane. A dimension's eight table values fill both halves of
// the register, so the fourth index bit a permute reads does not matter.
template <std::size_t V>
KORVANE_TARGET_AVX512 void estimateTile(const TurboQuantPayload* const* payloads, std::size_t n,
                                        const float* lut, LutSums sums, float* out, std::size_t groups) {
    constexpr std::size_t width = V * kLanes;
    alignas(64) std::uint32_t codes[kLanes * width];

    __m512 acc[V];
    for (std::size_t v = 0; v < V; ++v) acc[v] = _mm512_setzero_ps();
    for (std::size_t g = 0; g < groups; ++g) {
        if (g % kLanes == 0) {
            for (std::size_t v = 0; v < V; ++v) {
                const std::size_t first = v * kLanes;
                transposeCodes(payloads + first, n > first ? n - first : 0, codes + first, width, g / kLanes, groups);
            }
        }
        __m512i word[V];
        for (std::size_t v = 0; v < V; ++v) word[v] = _mm512_load_si512(codes + (g % kLanes) * width + v * kLanes);
        const float* rows = lut + 64 * g;
        for (std::size_t i = 0; i < 8; ++i) {
            const __m512 row = _mm512_broadcast_f32x8(_mm256_loadu_ps(rows + 8 * i));
            for (std::size_t v = 0; v < V; ++v) {
                acc[v] = _mm512_add_ps(acc[v], _mm512_permutexvar_ps(word[v], row));
                word[v] = _mm512_srli_epi32(word[v], 3);
            }
        }
    }
    alignas(64) float s[width];
    for (std::size_t v = 0; v < V; ++v) _mm512_store_ps(s + v * kLanes, acc[v]);
    for (std::size_t k = 0; k < n; ++k) out[k] = finishEstimate(s[k], *payloads[k], sums);
}

// Four items per register, four lanes each (one per dot-product
// accumulator); a 4x4 transpose of 32-bit words lines up dimensions
// j..j+3 of the four items.
template <std::size_t Q>
KORVANE_TARGET_AVX512 void exactTile(const float* query, const std::int8_t* const* raws,
                                     const float* scales, std::size_t n, float* out, std::size_t length) {
    const std::int8_t* items[4 * Q];
    for (std::size_t k = 0; k < 4 * Q; ++k) items[k] = raws[k < n ? k : 0];

    __m512 acc[Q];
    for (std::size_t q = 0; q < Q; ++q) acc[q] = _mm512_setzero_ps();
    for (std::size_t c = 0; c < length; c += 16) {
        __m512 q4[4];
        for (std::size_t s = 0; s < 4; ++s) q4[s] = _mm512_broadcast_f32x4(_mm_loadu_ps(query + c + 4 * s));
        for (std::size_t q = 0; q < Q; ++q) {
            __m128i b[4];
            for (std::size_t k = 0; k < 4; ++k) {
                b[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(items[4 * q + k] + c));
            }
            const __m128i t0 = _mm_unpacklo_epi32(b[0], b[1]);
            const __m128i t1 = _mm_unpacklo_epi32(b[2], b[3]);
            const __m128i t2 = _mm_unpackhi_epi32(b[0], b[1]);
            const __m128i t3 = _mm_unpackhi_epi32(b[2], b[3]);
            const __m128i steps[4] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1),
                                      _mm_unpacklo_epi64(t2, t3), _mm_unpackhi_epi64(t2, t3)};
            for (std::size_t s = 0; s < 4; ++s) {
                const __m512 e = _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(steps[s]));
                acc[q] = _mm512_fmadd_ps(q4[s], e, acc[q]);
            }
        }
    }
    alignas(64) float lanes[Q * 16];
    for (std::size_t q = 0; q < Q; ++q) _mm512_store_ps(lanes + 16 * q, acc[q]);
    for (std::size_t k = 0; k < n; ++k) out[k] = sumAccumulators(lanes + 4 * k) * scales[k];
}

}  // namespace

KORVANE_TARGET_AVX512 void estimateScoreBlockAvx512(const TurboQuantPayload* const* payloads,
                                                    std::size_t count, const float* lut, LutSums sums,
                                                    float* out, std::size_t groups) {
    constexpr std::size_t tile = kMaxVectors * kLanes;
    for (std::size_t start = 0; start < count; start += tile) {
        const std::size_t n = std::min(tile, count - start);
        switch ((n + kLanes - 1) / kLanes) {
            case 1: estimateTile<1>(payloads + start, n, lut, sums, out + start, groups); break;
            case 2: estimateTile<2>(payloads + start, n, lut, sums, out + start, groups); break;
            case 3: estimateTile<3>(payloads + start, n, lut, sums, out + start, groups); break;
            default: estimateTile<4>(payloads + start, n, lut, sums, out + start, groups); break;
        }
    }
}

KORVANE_TARGET_AVX512 void exactScoreI8BlockAvx512(const float* query_rotated,
                                                   const std::int8_t* const* raws, const float* scales,
                                                   std::size_t count, float* out, std::size_t length) {
    constexpr std::size_t tile = 16;
    for (std::size_t start = 0; start < count; start += tile) {
        const std::size_t n = std::min(tile, count - start);
        const std::int8_t* const* r = raws + start;
        switch ((n + 3) / 4) {
            case 1: exactTile<1>(query_rotated, r, scales + start, n, out + start, length); break;
            case 2: exactTile<2>(query_rotated, r, scales + start, n, out + start, length); break;
            case 3: exactTile<3>(query_rotated, r, scales + start, n, out + start, length); break;
            default: exactTile<4>(query_rotated, r, scales + start, n, out + start, length); break;
        }
    }
}

}  // namespace korvane
