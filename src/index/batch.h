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

// Watches a batch from the calling thread: `report(user, done, total)` runs
// with 0 before the first chunk and with the items committed so far after
// each chunk; a nonzero return asks the batch to stop there. Chunk
// boundaries are the only points where the items so far are exactly what
// a batch of just those items would have committed: the chunks, the levels
// drawn and the plans depend only on the graph and the items before them.
struct BatchObserver {
    std::int32_t (*report)(void* user, std::uint64_t done, std::uint64_t total) = nullptr;
    void* user = nullptr;
};

// Ok, DuplicateId (within the batch or against the index; nothing changed),
// OutOfMemory, or Stopped when the observer asked to stop before the last
// chunk. Whatever the outcome, the items that went in are the first ones,
// in order; `added`, when given, receives their number. `profile`, when
// given, receives the batch's timings.
Error addBatch(Index& index, const std::uint64_t* ids, const float* vectors, std::uint64_t count,
               std::uint64_t threads, BatchProfile* profile = nullptr, BatchObserver observer = {},
               std::uint64_t* added = nullptr);

}  // namespace korvane
