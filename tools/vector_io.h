// Reading and writing the vector, id and ground-truth files the tool accepts.
//
// Vectors: .fvecs (each record an int32 dimension then that many float32),
// .npy (float32, shape (n, 256), C order) or, for any other name, raw
// little-endian float32, 256 per vector. Ids: .npy of uint64 (or non-negative
// int64), otherwise text with one decimal id per line. Ground truth: .ivecs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::tool {

constexpr std::uint64_t kDim = 256;

enum class VectorFormat { Fvecs, Npy, Raw };

struct VectorSet {
    std::uint64_t count = 0;
    std::vector<float> values;  // count * 256, row-major

    const float* row(std::uint64_t i) const { return values.data() + i * kDim; }
};

VectorFormat formatFromName(const std::string& path);

// Each throws Failure with a one-line message on any problem with the file.
VectorSet readVectors(const std::string& path);
std::vector<std::uint64_t> readIds(const std::string& path);
std::vector<std::vector<std::uint64_t>> readIvecs(const std::string& path);

void writeVectors(const std::string& path, const VectorSet& vectors);

}  // namespace korvane::tool
