// Batch insertion.
#pragma once

#include <cstdint>

#include "index/index.h"
#include "index/insert.h"

namespace korvane {

// Items in the next chunk: the graph's size (at least 1), capped by what is
// left and by the buffer size, so a chunk never outnumbers its graph.
std::uint64_t batchChunkSize(std::uint64_t node_count, std::uint64_t remaining);

// Where a batch's wall time went, for the benchmarks: the parts that the
// workers share (planning, link-backs); the rest of the total is serial.
// With one worker everything runs on the calling thread, so the serial
// share of that run is what bounds the speed-up of more threads.
struct BatchProfile {
    double total_seconds = 0;
    double planning_seconds = 0;
    double linking_back_seconds = 0;
};

// Ok, DuplicateId (within the batch or against the index; nothing changed)
// or OutOfMemory. `profile`, when given, receives the batch's timings.
Error addBatch(Index& index, const std::uint64_t* ids, const float* vectors, std::uint64_t count,
               std::uint64_t threads, BatchProfile* profile = nullptr);

}  // namespace korvane
