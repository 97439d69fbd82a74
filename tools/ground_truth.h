// Exact k nearest neighbours by inner product, by brute force on all cores:
// the reference that recall is measured against.
#pragma once

#include <cstdint>
#include <vector>

#include "vector_io.h"

namespace korvane::tool {

// Row numbers into `base` of the k best matches of each query, best first
// (ties go to the lower row number).
std::vector<std::vector<std::uint64_t>> exactTopK(const VectorSet& base, const VectorSet& queries,
                                                  std::uint64_t k, std::uint64_t threads);

}  // namespace korvane::tool
