// The fixed shape of this build and the tuning constants.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

constexpr std::size_t kDim = 256;             // components per vector
constexpr std::size_t kRoutingBits = 1024;    // bits per routing code
constexpr std::size_t kRoutingWords = kRoutingBits / 64;
constexpr std::size_t kDegree = 32;           // neighbour slots per node and layer
constexpr std::uint64_t kMinEfConstruction = 32;
constexpr std::uint64_t kTopLevel = 31;
constexpr std::uint64_t kMaxResults = 256;    // per single search
constexpr std::uint64_t kRerankFactor = 4;
constexpr std::size_t kBatchChunk = 1024;
constexpr std::size_t kLutSize = kDim * 8;
constexpr std::size_t kCodeGroups = kDim / 8;

}  // namespace korvane
