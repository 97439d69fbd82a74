// The built-in data set: unit-length vectors (256-d unless asked) scattered
// around random cluster centres, so that nearest neighbours are meaningful but
// not trivial.
// Every vector is drawn from its own seeded stream, so the set is identical on
// every machine and for every thread count.
#pragma once

#include <cmath>
#include <cstdint>

#include "vector_io.h"

namespace korvane::tool {

// splitmix64: small, fast and good enough to seed and drive the generator.
struct Stream {
    std::uint64_t state;

    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)

    // Box-Muller; one of the pair is discarded to keep the stream simple.
    double normal() {
        const double u = 1.0 - uniform();  // (0, 1]
        const double v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }
};

struct ClusteredSetup {
    std::uint64_t base_count = 100000;
    std::uint64_t query_count = 1000;
    std::uint64_t clusters = 256;
    float noise = 0.9f;  // length of the noise added to a unit centre, before normalising
    std::uint64_t seed = 1;
    std::uint64_t dim = kDim;
};

struct ClusteredData {
    VectorSet base;
    VectorSet queries;
};

ClusteredData generateClustered(const ClusteredSetup& setup, std::uint64_t threads);

}  // namespace korvane::tool
