#include "support/test_support.h"

#include <cmath>

namespace korvane::testing {

std::uint64_t TestRng::next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545f4914f6cdd1dULL;
}

float TestRng::uniform(float lo, float hi) {
    const double u = double(next() >> 11) * 0x1.0p-53;
    return lo + float(u) * (hi - lo);
}

float TestRng::normal() {
    const double u1 = (double(next() >> 11) + 1.0) * 0x1.0p-53;
    const double u2 = double(next() >> 11) * 0x1.0p-53;
    return float(std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2));
}

std::vector<float> randomVectors(std::size_t count, std::uint64_t seed) {
    TestRng rng(seed);
    std::vector<float> out(count * 256);
    for (float& v : out) v = rng.normal();
    return out;
}

std::vector<float> clusteredVectors(std::size_t count, std::size_t clusters, float noise,
                                    std::uint64_t seed) {
    TestRng rng(seed);
    std::vector<float> centres(clusters * 256);
    for (float& v : centres) v = rng.normal();
    std::vector<float> out(count * 256);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t c = rng.next() % clusters;
        for (std::size_t j = 0; j < 256; ++j) out[i * 256 + j] = centres[c * 256 + j] + noise * rng.normal();
    }
    return out;
}

}  // namespace korvane::testing

namespace korvane::testing {

namespace {

constexpr std::uint32_t kSha256Round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void sha256Block(std::uint32_t h[8], const unsigned char* p) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t(p[4 * i]) << 24 | std::uint32_t(p[4 * i + 1]) << 16 | std::uint32_t(p[4 * i + 2]) << 8 |
               p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256Round[i] + w[i];
        const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

}  // namespace

std::string sha256Hex(const void* data, std::size_t size) {
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t whole = size / 64 * 64;
    for (std::size_t i = 0; i < whole; i += 64) sha256Block(h, bytes + i);
    unsigned char tail[128] = {};
    const std::size_t rest = size - whole;
    for (std::size_t i = 0; i < rest; ++i) tail[i] = bytes[whole + i];
    tail[rest] = 0x80;
    const std::size_t tail_len = rest < 56 ? 64 : 128;
    const std::uint64_t bits = std::uint64_t(size) * 8;
    for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::size_t i = 0; i < tail_len; i += 64) sha256Block(h, tail + i);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (std::uint32_t word : h)
        for (int shift = 28; shift >= 0; shift -= 4) out += hex[(word >> shift) & 15];
    return out;
}

}  // namespace korvane::testing

namespace korvane::testing {
namespace {

std::uint64_t inverseOdd(std::uint64_t c) {
    std::uint64_t y = c;  // correct to 3 bits; each Newton step doubles that
    for (int i = 0; i < 5; ++i) y *= 2 - c * y;
    return y;
}

// x ^= x >> 33 undoes itself, since 2 * 33 > 64.
std::uint64_t unmix(std::uint64_t h) {
    h ^= h >> 33;
    h *= inverseOdd(0xc4ceb9fe1a85ec53ULL);
    h ^= h >> 33;
    h *= inverseOdd(0xff51afd7ed558ccdULL);
    h ^= h >> 33;
    return h;
}

}  // namespace

std::vector<std::uint64_t> idsCollidingUnderFixedMix(std::size_t count) {
    std::vector<std::uint64_t> ids(count);
    for (std::size_t j = 0; j < count; ++j) ids[j] = unmix(std::uint64_t(j + 1) << 32);
    return ids;
}

}  // namespace korvane::testing
