// Seeded generators: SplitMix64 for seeding, xoshiro256++ for the streams,
// the uniform double and the Ziggurat normal draw.
#pragma once

#include <cstdint>

namespace korvane {

struct Xoshiro256 {
    std::uint64_t s[4];
};

// One SplitMix64 step: advances `state` and returns the output.
std::uint64_t splitMix64Next(std::uint64_t& state);

// The first four SplitMix64 outputs from `seed` become s0..s3.
Xoshiro256 seedXoshiro(std::uint64_t seed);

std::uint64_t nextU64(Xoshiro256& rng);

// Uniform double in [0, 1) with full precision near 0.
double uniformDouble(Xoshiro256& rng);

// Standard normal draw (Ziggurat, 256 layers, exact tail).
double normalDraw(Xoshiro256& rng);

// Ziggurat tables X[0..256] and F[0..256], computed once.
const double* zigguratX();
const double* zigguratF();

}  // namespace korvane
