// Reference population count; the vector kernels must agree with it exactly.
#include "graph/hamming_kernels.h"

namespace korvane {

std::uint32_t hammingScalar(const RoutingCode& a, const RoutingCode& b) {
    std::uint32_t total = 0;
    for (std::size_t w = 0; w < kRoutingWords; ++w)
        total += static_cast<std::uint32_t>(__builtin_popcountll(a.words[w] ^ b.words[w]));
    return total;
}

void hammingManyScalar(const RoutingCode& query, const RoutingCode* codes,
                       const std::uint32_t* positions, std::size_t count, std::uint32_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = hammingScalar(query, codes[positions[i]]);
}

}  // namespace korvane
