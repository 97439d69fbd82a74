// Several searches of a batch in flight on one thread. Each query has its own
// context, walk and result slots, so its visits, heap operations and results
// are those of `search`; the thread only takes turns among them, one walk
// step per turn, so that the memory one query waits for arrives while the
// others work.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "graph/search.h"
#include "index/context.h"
#include "index/index.h"
#include "index/scored_walk.h"

namespace korvane {

// Queries in flight per thread.
constexpr std::size_t kGroupQueries = 8;
// Queries rotated and routed together: the block kernels' tile.
constexpr std::size_t kFrontBlock = 16;

enum class SlotStage : std::uint8_t { Idle, Walking, Scoring };

struct QuerySlot {
    SearchContext context;
    LayerWalk walk;          // the Hamming walk
    ScoredWalk scored_walk;  // or the scored one, by context.walk
    RoutingCode code;
    CandidateList candidates;
    std::uint64_t query;
    SlotStage stage;
};

// Queries rotated and routed ahead of the slots that take them.
struct FrontBlock {
    float* room = nullptr;       // kFrontBlock x dim: normalised cosine queries
    float* rotated = nullptr;    // kFrontBlock x padded
    float* projected = nullptr;  // kFrontBlock x 1024
    RoutingCode codes[kFrontBlock];
    bool usable[kFrontBlock];    // false: a cosine query with no direction
    std::uint64_t first = 0;     // query number of row 0
    std::size_t taken = 0;
    std::size_t count = 0;
};

struct QueryGroup {
    QuerySlot* slots = nullptr;
    std::size_t slot_count = 0;
    FrontBlock front;
};

// Where query q of a batch comes from and where its answer goes: the query
// at queries + 256 q, up to k results at records + k q, their number in
// counts[q]. Blocks of block_queries (1 to kFrontBlock) queries are handed
// out through next_block, one at a time, to whichever thread asks first.
struct QueryStream {
    const float* queries;
    std::uint64_t n_queries;
    std::size_t block_queries;
    std::uint64_t k;
    SearchResult* records;
    std::uint64_t* counts;
    std::atomic<std::uint64_t>* next_block;  // shared by the threads
};

// `slots` contexts for `index` with breadth ef_search; on failure nothing is kept.
Error initGroup(QueryGroup& group, const Index& index, std::uint64_t ef_search, std::size_t slots);
void deinit(QueryGroup& group);

// Answers blocks of the stream until none is left.
void answerQueries(const Index& index, QueryGroup& group, const QueryStream& stream);

}  // namespace korvane
