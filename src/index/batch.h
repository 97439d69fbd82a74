// Batch insertion.
#pragma once

#include <cstdint>

#include "index/index.h"
#include "index/insert.h"

namespace korvane {

// Items in the next chunk: the graph's size (at least 1), capped by what is
// left and by the buffer size, so a chunk never outnumbers its graph.
std::uint64_t batchChunkSize(std::uint64_t node_count, std::uint64_t remaining);

// Ok, DuplicateId (within the batch or against the index; nothing changed)
// or OutOfMemory.
Error addBatch(Index& index, const std::uint64_t* ids, const float* vectors,
                   std::uint64_t count, std::uint64_t threads);

}  // namespace korvane
