// Exact k nearest neighbours by an index's metric, by brute force on all
// cores: the reference that recall is measured against.
#pragma once

#include <cstdint>
#include <vector>

#include "korvane.h"
#include "vector_io.h"

namespace korvane::tool {

// Row numbers into `base` of the k best matches of each query by `metric`
// (a KORVANE_METRIC_ value), best first (ties go to the lower row number).
// Base and queries must have the same width.
std::vector<std::vector<std::uint64_t>> exactTopK(const VectorSet& base, const VectorSet& queries,
                                                  std::uint64_t k, std::uint64_t threads,
                                                  std::uint32_t metric = KORVANE_METRIC_IP);

}  // namespace korvane::tool
