#include "common/cpu.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace korvane {
namespace {

constexpr SimdPath kPaths[] = {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512};

TEST(SimdChoice, FallbackTakesTheBestSupportedPathAtOrBelowTheRequest) {
    for (const Avx512Extra extra : {Avx512Extra::None, Avx512Extra::Popcount}) {
        for (const SimdPath requested : kPaths) {
            const SimdPath chosen = supportedPathAtOrBelow(requested, extra);
            EXPECT_LE(static_cast<int>(chosen), static_cast<int>(requested));
            EXPECT_TRUE(simdPathSupported(chosen, extra));
            for (int above = static_cast<int>(chosen) + 1; above <= static_cast<int>(requested); ++above)
                EXPECT_FALSE(simdPathSupported(static_cast<SimdPath>(above), extra)) << simdPathName(requested);
        }
    }
    EXPECT_EQ(supportedPathAtOrBelow(SimdPath::Scalar), SimdPath::Scalar);
}

TEST(SimdChoice, OnlyTheThreePathNamesParse) {
    for (const SimdPath path : kPaths) {
        SimdPath parsed = SimdPath::Scalar;
        ASSERT_TRUE(parseSimdPath(simdPathName(path), &parsed));
        EXPECT_EQ(parsed, path);
    }
    SimdPath untouched = SimdPath::Avx2;
    for (const char* name : {"", "AVX2", "avx", "avx5120", "sse", "avx2 "})
        EXPECT_FALSE(parseSimdPath(name, &untouched)) << name;
    EXPECT_EQ(untouched, SimdPath::Avx2);
}

// The per-path runs of the suite rely on this: the process's path is what
// KORVANE_SIMD asks for, lowered only where the CPU lacks it.
TEST(SimdChoice, TheProcessPathFollowsTheEnvironment) {
    SimdPath requested = SimdPath::Avx512;
    if (const char* named = std::getenv("KORVANE_SIMD")) parseSimdPath(named, &requested);
    EXPECT_EQ(activeSimdPath(), supportedPathAtOrBelow(requested)) << simdPathName(activeSimdPath());
}

}  // namespace
}  // namespace korvane
