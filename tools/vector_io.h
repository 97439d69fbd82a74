// Reading and writing the vector, id and ground-truth files the tool accepts.
//
// Vectors: .fvecs (each record an int32 dimension then that many float32),
// .npy (float32, shape (n, d), C order) or, for any other name, raw
// little-endian float32, whose width must come from elsewhere (--dim or an
// index). Ids: .npy of uint64 (or non-negative int64), otherwise text with
// one decimal id per line. Ground truth: .ivecs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::tool {

// The width of the default index and of the built-in data set.
constexpr std::uint64_t kDim = 256;
constexpr std::uint64_t kMaxDim = 4096;

enum class VectorFormat { Fvecs, Npy, Raw };

struct VectorSet {
    std::uint64_t count = 0;
    std::vector<float> values;  // count * dim, row-major
    std::uint64_t dim = kDim;

    const float* row(std::uint64_t i) const { return values.data() + i * dim; }
};

// The width a file must have, and who says so ("--dim says", "the index
// has") for the message when it does not. A dim of 0 expects nothing: headed files
// say their own width and a raw file is refused.
struct ExpectedDim {
    std::uint64_t dim = 0;
    std::string source;
};

VectorFormat formatFromName(const std::string& path);

// Each throws Failure with a one-line message on any problem with the file.
VectorSet readVectors(const std::string& path, const ExpectedDim& expected = {});
std::vector<std::uint64_t> readIds(const std::string& path);
std::vector<std::vector<std::uint64_t>> readIvecs(const std::string& path);

void writeVectors(const std::string& path, const VectorSet& vectors);

}  // namespace korvane::tool
