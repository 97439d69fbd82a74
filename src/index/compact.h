// Compaction: the graph rebuilt over the live vectors only.
#pragma once

#include "common/error.h"
#include "index/index.h"

namespace korvane {

// Rebuilds the index from what it holds (payloads, raw copies and routing
// codes; no caller vectors are needed) over its live vectors, in node order,
// with a fresh level generator: removed vectors stop steering searches and
// stop taking memory. Ids, matrices, shape, store and centre are kept; node
// numbers become dense again. Ok, or OutOfMemory with the index unchanged.
Error compactIndex(Index& index);

}  // namespace korvane
