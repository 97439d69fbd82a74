// What an index's vectors look like, and the tuning constants.
//
// Everything that changes with the dimension or the metric is read from one
// `Shape`: how many floats the caller passes (`dim`), how long the rotated
// vectors, raw copies and scoring tables are (`padded`, the dimension
// rounded up to whole blocks of 64, the zeros beyond `dim` adding nothing to
// any dot product), and how scores are ranked (`metric`). The default shape,
// 256-d inner product, is the one every created index had before shapes
// were chosen; it is spelled out here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// The values are those of the C interface and of the file.
enum class Metric : std::uint8_t {
    InnerProduct = 0,
    Cosine = 1,     // vectors normalised on the way in, then inner product
    Euclidean = 2,  // score = -(squared distance)
};
constexpr std::uint32_t kMetricCount = 3;

constexpr std::size_t kDefaultDim = 256;
constexpr std::size_t kMaxDim = 4096;
constexpr std::size_t kPadBlock = 64;  // eight code groups of eight components
constexpr std::size_t kMaxPadded = kMaxDim;
constexpr std::size_t kMaxCodeGroups = kMaxPadded / 8;

constexpr std::size_t paddedLength(std::size_t dim) { return (dim + kPadBlock - 1) / kPadBlock * kPadBlock; }

struct Shape {
    std::uint32_t dim = kDefaultDim;
    std::uint32_t padded = kDefaultDim;
    Metric metric = Metric::InnerProduct;

    std::size_t codeGroups() const { return padded / 8; }
    std::size_t lutSize() const { return std::size_t{padded} * 8; }
    bool isDefault() const { return dim == kDefaultDim && metric == Metric::InnerProduct; }
};

constexpr Shape makeShape(std::size_t dim, Metric metric) {
    return Shape{std::uint32_t(dim), std::uint32_t(paddedLength(dim)), metric};
}
constexpr Shape kDefaultShape = makeShape(kDefaultDim, Metric::InnerProduct);

inline bool isShapeValid(std::uint64_t dim, std::uint64_t metric) {
    return dim >= 1 && dim <= kMaxDim && metric < kMetricCount;
}

// Fixed for every shape.
constexpr std::size_t kRoutingBits = 1024;    // bits per routing code
constexpr std::size_t kRoutingWords = kRoutingBits / 64;
constexpr std::size_t kDegree = 32;           // neighbour slots per node and layer
constexpr std::uint64_t kMinEfConstruction = 32;
constexpr std::uint64_t kTopLevel = 31;
constexpr std::uint64_t kMaxResults = 256;    // per single search
constexpr std::uint64_t kRerankFactor = 4;
constexpr std::size_t kBatchChunk = 1024;

// The default shape's sizes, for the code that only ever sees that shape
// (the default-shape file block, tests of the specified kernels).
constexpr std::size_t kDim = kDefaultDim;
constexpr std::size_t kLutSize = kDim * 8;
constexpr std::size_t kCodeGroups = kDim / 8;

}  // namespace korvane
