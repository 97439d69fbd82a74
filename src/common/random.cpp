#include "common/random.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace korvane {
namespace {

constexpr double kTailStart = 3.654152885361009;   // R
constexpr double kLayerArea = 0.00492867323399;    // V

double density(double x) { return std::exp(-x * x / 2.0); }
double inverseDensity(double y) { return std::sqrt(-2.0 * std::log(y)); }

struct ZigguratTables {
    double x[257];
    double f[257];
    ZigguratTables() {
        x[0] = kLayerArea / density(kTailStart);
        x[1] = kTailStart;
        for (int i = 2; i <= 255; ++i) x[i] = inverseDensity(kLayerArea / x[i - 1] + density(x[i - 1]));
        x[256] = 0.0;
        for (int i = 0; i <= 256; ++i) f[i] = density(x[i]);
    }
};

const ZigguratTables& tables() {
    static const ZigguratTables t;
    return t;
}

double bitsToDouble(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

}  // namespace

std::uint64_t splitMix64Next(std::uint64_t& state) {
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

Xoshiro256 seedXoshiro(std::uint64_t seed) {
    Xoshiro256 rng;
    for (auto& word : rng.s) word = splitMix64Next(seed);
    return rng;
}

std::uint64_t nextU64(Xoshiro256& rng) {
    std::uint64_t* s = rng.s;
    const std::uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = std::rotl(s[3], 45);
    return result;
}

double uniformDouble(Xoshiro256& rng) {
    const std::uint64_t r = nextU64(rng);
    const std::uint64_t mantissa = r & ((std::uint64_t{1} << 52) - 1);
    std::uint64_t lz = static_cast<std::uint64_t>(std::countl_zero(r));
    if (lz >= 12) {
        // The top 12 bits were zero: extend the exponent with further draws.
        lz = 12;
        while (true) {
            const std::uint64_t w = nextU64(rng);
            lz += static_cast<std::uint64_t>(std::countl_zero(w));  // 64 when w == 0
            if (w != 0) break;
            if (lz >= 1022) {
                lz = 1022;
                break;
            }
        }
        if (lz > 1022) lz = 1022;
    }
    return bitsToDouble(((1022 - lz) << 52) | mantissa);
}

double normalDraw(Xoshiro256& rng) {
    const ZigguratTables& t = tables();
    while (true) {
        const std::uint64_t r = nextU64(rng);
        const unsigned i = static_cast<unsigned>(r & 0xff);
        const double u = bitsToDouble(0x4000000000000000ULL | (r >> 12)) - 3.0;
        const double x = u * t.x[i];
        if (std::fabs(x) < t.x[i + 1]) return x;
        if (i == 0) {
            double tail, y;
            do {
                tail = std::log(uniformDouble(rng)) / kTailStart;
                y = std::log(uniformDouble(rng));
            } while (-2.0 * y < tail * tail);
            return u < 0 ? tail - kTailStart : kTailStart - tail;
        }
        const double threshold = t.f[i + 1] + (t.f[i] - t.f[i + 1]) * uniformDouble(rng);
        if (threshold < std::exp(-0.5 * (x * x))) return x;
    }
}

const double* zigguratX() { return tables().x; }
const double* zigguratF() { return tables().f; }

}  // namespace korvane
