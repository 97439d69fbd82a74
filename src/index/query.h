// Query-side scoring shared by the search functions.
#pragma once

#include <cstdint>

#include "encoding/scoring.h"
#include "index/context.h"
#include "index/index.h"

namespace korvane {

// Exact score of a node from its raw copy (the index keeps a complete raw store).
float exactScore(const Index& index, std::uint64_t node, const float* query_rotated);

// Quantizes the context's rotated query and builds its scoring table.
LutSums prepareEstimates(const Index& index, SearchContext& context);

}  // namespace korvane
