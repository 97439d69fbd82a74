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
