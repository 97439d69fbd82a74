// Small inputs for the tool in each file format, written independently of
// the tool's own readers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korvane.h"

namespace tooltest {

constexpr std::uint64_t kDim = 256;

using Floats = std::vector<float>;  // row-major, 256 per vector unless said otherwise

Floats randomVectors(std::uint64_t count, std::uint32_t seed, std::uint64_t dim = kDim);

void writeBytes(const std::string& path, const std::string& bytes);
void writeFvecs(const std::string& path, const Floats& vectors, std::uint32_t dim = kDim);
void writeNpy(const std::string& path, const std::string& descr, const std::string& shape,
              const void* data, std::uint64_t bytes);
// A version 1.0 file whose header dictionary is `dict` as given (padded).
void writeNpyWithHeader(const std::string& path, std::string dict, const void* data, std::uint64_t bytes);
void writeNpyVectors(const std::string& path, const Floats& vectors);
void writeRaw(const std::string& path, const Floats& vectors);
void writeTextIds(const std::string& path, const std::vector<std::uint64_t>& ids);
void writeNpyIds(const std::string& path, const std::vector<std::uint64_t>& ids);
void writeIvecs(const std::string& path, const std::vector<std::vector<std::uint64_t>>& rows);

// Exact top-k rows by a KORVANE_METRIC_ value (ties to the lower row), in
// double precision, for ground truth.
std::vector<std::vector<std::uint64_t>> bruteForce(const Floats& base, const Floats& queries,
                                                   std::uint64_t k, std::uint64_t dim = kDim,
                                                   std::uint32_t metric = KORVANE_METRIC_IP);

}  // namespace tooltest
