// The built-in data set: unit-length 256-d vectors scattered around random
// cluster centres, so that nearest neighbours are meaningful but not trivial.
// Every vector is drawn from its own seeded stream, so the set is identical on
// every machine and for every thread count.
#pragma once

#include <cstdint>

#include "vector_io.h"

namespace korvane::tool {

struct ClusteredSetup {
    std::uint64_t base_count = 100000;
    std::uint64_t query_count = 1000;
    std::uint64_t clusters = 256;
    float noise = 0.9f;  // length of the noise added to a unit centre, before normalising
    std::uint64_t seed = 1;
};

struct ClusteredData {
    VectorSet base;
    VectorSet queries;
};

ClusteredData generateClustered(const ClusteredSetup& setup, std::uint64_t threads);

}  // namespace korvane::tool
