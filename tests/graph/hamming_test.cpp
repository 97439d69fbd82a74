#include <gtest/gtest.h>

#include <vector>

#include "graph/hamming.h"
#include "graph_fixtures.h"

namespace korvane {
namespace {

using testing::randomCode;
using testing::referenceDistance;

constexpr SimdPath kPaths[] = {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512};

TEST(Hamming, SelfIsZeroComplementIsFullWidth) {
    testing::TestRng rng(3);
    const RoutingCode code = randomCode(rng);
    RoutingCode complement;
    for (std::size_t w = 0; w < kRoutingWords; ++w) complement.words[w] = ~code.words[w];
    for (SimdPath path : kPaths) {
        EXPECT_EQ(hammingKernelsFor(path).distance(code, code), 0u) << simdPathName(path);
        EXPECT_EQ(hammingKernelsFor(path).distance(code, complement), 1024u) << simdPathName(path);
    }
    EXPECT_EQ(hammingDistance(code, complement), 1024u);
}

// Codes of every density, so per-byte and per-lane sums reach their limits.
TEST(Hamming, EveryPathMatchesScalarOneByOneAndInBatches) {
    testing::TestRng rng(5);
    std::vector<RoutingCode> codes;
    for (int i = 0; i < 400; ++i) {
        RoutingCode code = randomCode(rng);
        const int density = i % 4;  // sparse, random, dense, all set / clear
        for (auto& word : code.words) {
            if (density == 0) word &= rng.next() & rng.next();
            if (density == 2) word |= rng.next() | rng.next();
            if (density == 3) word = (i & 4) ? ~0ULL : 0;
        }
        codes.push_back(code);
    }
    std::vector<std::uint32_t> positions(codes.size());
    for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = (i * 7) % codes.size();

    for (SimdPath path : kPaths) {
        if (!simdPathSupported(path)) continue;
        const HammingKernels& kernels = hammingKernelsFor(path);
        for (std::size_t q = 0; q < codes.size(); q += 13) {
            std::vector<std::uint32_t> batch(codes.size());
            kernels.distances(codes[q], codes.data(), positions.data(), positions.size(), batch.data());
            for (std::size_t i = 0; i < codes.size(); ++i) {
                const std::uint32_t expected = referenceDistance(codes[q], codes[positions[i]]);
                ASSERT_EQ(kernels.distance(codes[q], codes[i]), referenceDistance(codes[q], codes[i]))
                    << simdPathName(path);
                ASSERT_EQ(batch[i], expected) << simdPathName(path);
            }
        }
    }
}

}  // namespace
}  // namespace korvane
