// Recall and throughput of searches against exact ground truth, shared by
// the tool's eval and demo commands and by the benchmarks.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "library.h"
#include "stopwatch.h"

namespace korvane::tool {

using Neighbours = std::vector<std::vector<std::uint64_t>>;  // per query, best first

struct SweepPoint {
    std::uint64_t ef_search = 0;
    double recall = 0;
    double queries_per_second = 0;
};

// How a sweep point is timed: the query set is searched in `passes` passes,
// each repeated until `min_pass_seconds` have passed on `clock`; the fastest
// pass gives the rate. The default suits a batch search on several threads:
// one pass of at least a quarter second of wall-clock time, for a stable rate
// on small query sets.
struct PassTiming {
    std::uint64_t passes = 1;
    double min_pass_seconds = 0.25;
    double (*clock)() = wallSeconds;
};

// Searches every query once.
using SearchPass = std::function<SearchResults()>;

// How many of found[0 .. count) are among the first k entries of `truth`.
std::uint64_t truthHits(const std::vector<std::uint64_t>& truth, std::uint64_t k,
                        const std::uint64_t* found, std::uint64_t count);

// Mean over queries of |found among the first k ∩ truth among the first k| / k.
double recallAtK(const SearchResults& results, const Neighbours& truth, std::uint64_t k);

// Maps ground-truth row numbers to the ids the rows were stored under.
Neighbours rowsToIds(const Neighbours& rows, const std::vector<std::uint64_t>& ids);

// The rate of `search` under `timing`, and the recall@k of its last results.
SweepPoint measurePoint(std::uint64_t ef_search, const Neighbours& truth, std::uint64_t k,
                        const PassTiming& timing, const SearchPass& search);

// Searches all queries at each ef_search as `choice` says, with the batch
// search on `threads` threads.
std::vector<SweepPoint> sweepEf(const korvane_index* index, const VectorSet& queries,
                                const Neighbours& truth, std::uint64_t k,
                                const std::vector<std::uint64_t>& ef_values, std::uint64_t threads,
                                SearchChoice choice = {},
                                const PassTiming& timing = PassTiming{});

}  // namespace korvane::tool
