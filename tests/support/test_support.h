// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/memory.h"

namespace korvane::testing {

// Deterministic pseudo-random floats (not the library's generators).
struct TestRng {
    std::uint64_t state;
    explicit TestRng(std::uint64_t seed) : state(seed * 0x9e3779b97f4a7c15ULL + 1) {}
    std::uint64_t next();
    float uniform(float lo, float hi);
    float normal();
};

std::vector<float> randomVectors(std::size_t count, std::uint64_t seed);
// Clustered data: `clusters` random centres, members = centre + noise.
std::vector<float> clusteredVectors(std::size_t count, std::size_t clusters, float noise,
                                    std::uint64_t seed);

// Ids that a fixed, unkeyed mixer would all send to one hash slot: the
// mixer of the id maps, inverted on multiples of 2^32.
std::vector<std::uint64_t> idsCollidingUnderFixedMix(std::size_t count);

// Runs `call` with the n-th allocation failing, for n = 1, 2, ... until a
// call sees no injected failure. `call(n)` returns true when it succeeded.
// Returns the number of failure points driven.
template <class Call>
std::uint64_t sweepAllocationFailures(Call&& call, std::uint64_t limit = 1000000) {
    std::uint64_t n = 1;
    for (; n <= limit; ++n) {
        armAllocationFailure(n);
        const bool succeeded = call(n);
        const auto stats = allocationStats();
        disarmAllocationFailure();
        if (succeeded && stats.attempts < n) break;
    }
    std::printf("allocation failure points driven: %llu\n", static_cast<unsigned long long>(n - 1));
    return n - 1;
}

}  // namespace korvane::testing

namespace korvane::testing {

// SHA-256 of a byte string, as 64 lower-case hex digits.
std::string sha256Hex(const void* data, std::size_t size);

}  // namespace korvane::testing
