// AVX2 block scorers. Each result lane reproduces the scalar order of
// operations of one item, so the bits equal the one-at-a-time scores.
#include <immintrin.h>

#include <algorithm>

#include "common/shape.h"
#include "common/simd_targets.h"
#include "encoding/scoring_kernels.h"

namespace korvane {
namespace {

constexpr std::size_t kLanes = 8;
// Independent accumulators per tile: one payload's 256 additions form a
// dependency chain, so several vectors run side by side to hide latency.
constexpr std::size_t kMaxVectors = 4;

// Lays code groups 8 part .. 8 part + 7 of up to eight payloads out lane by
// lane: codes[g * width + k] = group 8 part + g of payload k, zero for the
// missing ones. An 8x8 transpose of 32-bit words.
KORVANE_TARGET_AVX2 void transposeCodes(const TurboQuantPayload* const* payloads, std::size_t n,
                                        std::uint32_t* codes, std::size_t width, std::size_t part) {
    {
        __m256i r[8];
        for (std::size_t k = 0; k < 8; ++k) {
            r[k] = k < n ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(payloads[k]->codes + 8 * part))
                         : _mm256_setzero_si256();
        }
        __m256i a[8];
        for (std::size_t p = 0; p < 4; ++p) {
            a[2 * p] = _mm256_unpacklo_epi32(r[2 * p], r[2 * p + 1]);
            a[2 * p + 1] = _mm256_unpackhi_epi32(r[2 * p], r[2 * p + 1]);
        }
        // b[4q + s], 128-bit half h: payloads 4q..4q+3 of group 4h + s.
        __m256i b[8];
        for (std::size_t q = 0; q < 2; ++q) {
            b[4 * q + 0] = _mm256_unpacklo_epi64(a[4 * q], a[4 * q + 2]);
            b[4 * q + 1] = _mm256_unpackhi_epi64(a[4 * q], a[4 * q + 2]);
            b[4 * q + 2] = _mm256_unpacklo_epi64(a[4 * q + 1], a[4 * q + 3]);
            b[4 * q + 3] = _mm256_unpackhi_epi64(a[4 * q + 1], a[4 * q + 3]);
        }
        std::uint32_t* base = codes;
        for (std::size_t s = 0; s < 4; ++s) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(base + s * width),
                               _mm256_permute2x128_si256(b[s], b[4 + s], 0x20));
            _mm256_store_si256(reinterpret_cast<__m256i*>(base + (4 + s) * width),
                               _mm256_permute2x128_si256(b[s], b[4 + s], 0x31));
        }
    }
}

// One payload per lane. The eight table values of a dimension fill one
// register, and a lane's 3-bit code picks its value with a permute.
template <std::size_t V>
KORVANE_TARGET_AVX2 void estimateTile(const TurboQuantPayload* const* payloads, std::size_t n,
                                      const float* lut, LutSums sums, float* out, std::size_t groups) {
    constexpr std::size_t width = V * kLanes;
    alignas(32) std::uint32_t codes[kLanes * width];

    __m256 acc[V];
    for (std::size_t v = 0; v < V; ++v) acc[v] = _mm256_setzero_ps();
    for (std::size_t g = 0; g < groups; ++g) {
        if (g % kLanes == 0) {
            for (std::size_t v = 0; v < V; ++v) {
                const std::size_t first = v * kLanes;
                transposeCodes(payloads + first, n > first ? n - first : 0, codes + first, width, g / kLanes);
            }
        }
        __m256i word[V];
        for (std::size_t v = 0; v < V; ++v) {
            word[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(codes + (g % kLanes) * width + v * kLanes));
        }
        const float* rows = lut + 64 * g;
        for (std::size_t i = 0; i < 8; ++i) {
            const __m256 row = _mm256_loadu_ps(rows + 8 * i);
            for (std::size_t v = 0; v < V; ++v) {
                // Only the low three index bits count, so no mask is needed.
                acc[v] = _mm256_add_ps(acc[v], _mm256_permutevar8x32_ps(row, word[v]));
                word[v] = _mm256_srli_epi32(word[v], 3);
            }
        }
    }
    alignas(32) float s[width];
    for (std::size_t v = 0; v < V; ++v) _mm256_store_ps(s + v * kLanes, acc[v]);
    for (std::size_t k = 0; k < n; ++k) out[k] = finishEstimate(s[k], *payloads[k], sums);
}

// Two items per register, four lanes each holding one of an item's four
// dot-product accumulators; every step adds dimensions j..j+3 of both items.
template <std::size_t P>
KORVANE_TARGET_AVX2 void exactTile(const float* query, const std::int8_t* const* raws,
                                   const float* scales, std::size_t n, float* out, std::size_t length) {
    const std::int8_t* items[2 * P];
    for (std::size_t k = 0; k < 2 * P; ++k) items[k] = raws[k < n ? k : 0];

    __m256 acc[P];
    for (std::size_t p = 0; p < P; ++p) acc[p] = _mm256_setzero_ps();
    for (std::size_t c = 0; c < length; c += 16) {
        __m256 q4[4];
        for (std::size_t s = 0; s < 4; ++s) {
            q4[s] = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(query + c + 4 * s));
        }
        for (std::size_t p = 0; p < P; ++p) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(items[2 * p] + c));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(items[2 * p + 1] + c));
            const __m128i lo = _mm_unpacklo_epi32(a, b);
            const __m128i hi = _mm_unpackhi_epi32(a, b);
            const __m128i steps[4] = {lo, _mm_unpackhi_epi64(lo, lo), hi, _mm_unpackhi_epi64(hi, hi)};
            for (std::size_t s = 0; s < 4; ++s) {
                const __m256 e = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(steps[s]));
                acc[p] = _mm256_fmadd_ps(q4[s], e, acc[p]);
            }
        }
    }
    alignas(32) float lanes[P * 8];
    for (std::size_t p = 0; p < P; ++p) _mm256_store_ps(lanes + 8 * p, acc[p]);
    for (std::size_t k = 0; k < n; ++k) out[k] = sumAccumulators(lanes + 4 * k) * scales[k];
}

}  // namespace

KORVANE_TARGET_AVX2 void estimateScoreBlockAvx2(const TurboQuantPayload* const* payloads,
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

KORVANE_TARGET_AVX2 void exactScoreI8BlockAvx2(const float* query_rotated, const std::int8_t* const* raws,
                                               const float* scales, std::size_t count, float* out,
                                               std::size_t length) {
    constexpr std::size_t tile = 8;
    for (std::size_t start = 0; start < count; start += tile) {
        const std::size_t n = std::min(tile, count - start);
        const std::int8_t* const* r = raws + start;
        switch ((n + 1) / 2) {
            case 1: exactTile<1>(query_rotated, r, scales + start, n, out + start, length); break;
            case 2: exactTile<2>(query_rotated, r, scales + start, n, out + start, length); break;
            case 3: exactTile<3>(query_rotated, r, scales + start, n, out + start, length); break;
            default: exactTile<4>(query_rotated, r, scales + start, n, out + start, length); break;
        }
    }
}

}  // namespace korvane
