// Recall and throughput of searches against exact ground truth.
#pragma once

#include <cstdint>
#include <vector>

#include "library.h"

namespace korvane::tool {

using Neighbours = std::vector<std::vector<std::uint64_t>>;  // per query, best first

struct SweepPoint {
    std::uint64_t ef_search = 0;
    double recall = 0;
    double queries_per_second = 0;
};

// Mean over queries of |found among the first k ∩ truth among the first k| / k.
double recallAtK(const SearchResults& results, const Neighbours& truth, std::uint64_t k);

// Maps ground-truth row numbers to the ids the rows were stored under.
Neighbours rowsToIds(const Neighbours& rows, const std::vector<std::uint64_t>& ids);

// Searches all queries at each ef_search with re-score factor `rerank`,
// timing the batch search with `threads` threads (repeated until a quarter
// second has passed, for a stable rate on small query sets).
std::vector<SweepPoint> sweepEf(const korvane_index* index, const VectorSet& queries,
                                const Neighbours& truth, std::uint64_t k,
                                const std::vector<std::uint64_t>& ef_values, std::uint64_t threads,
                                std::uint64_t rerank = kDefaultRerank);

}  // namespace korvane::tool
