#include "evaluation.h"

#include <algorithm>

#include "cli_error.h"
#include "stopwatch.h"

namespace korvane::tool {

namespace {

constexpr double kMinTimedSeconds = 0.25;

double queryRecall(const std::uint64_t* found, std::uint64_t found_count,
                   const std::vector<std::uint64_t>& truth, std::uint64_t k) {
    const std::uint64_t expected = std::min<std::uint64_t>(k, truth.size());
    if (expected == 0) return 1.0;
    std::uint64_t hits = 0;
    for (std::uint64_t i = 0; i < std::min(found_count, k); ++i)
        if (std::find(truth.begin(), truth.begin() + expected, found[i]) != truth.begin() + expected)
            ++hits;
    return static_cast<double>(hits) / expected;
}

SweepPoint measureEf(const korvane_index* index, const VectorSet& queries, const Neighbours& truth,
                     std::uint64_t k, std::uint64_t ef, std::uint64_t threads, std::uint64_t rerank) {
    SearchResults results;
    std::uint64_t searched = 0;
    Stopwatch clock;
    do {
        results = searchAll(index, queries, k, ef, threads, rerank);
        searched += queries.count;
    } while (clock.seconds() < kMinTimedSeconds);
    return {ef, recallAtK(results, truth, k), searched / clock.seconds()};
}

}  // namespace

double recallAtK(const SearchResults& results, const Neighbours& truth, std::uint64_t k) {
    if (truth.empty()) return 0;
    double sum = 0;
    for (std::uint64_t q = 0; q < truth.size(); ++q)
        sum += queryRecall(results.ids.data() + q * results.k, results.counts[q], truth[q], k);
    return sum / truth.size();
}

Neighbours rowsToIds(const Neighbours& rows, const std::vector<std::uint64_t>& ids) {
    Neighbours mapped(rows.size());
    for (std::uint64_t q = 0; q < rows.size(); ++q)
        for (std::uint64_t row : rows[q]) {
            if (row >= ids.size())
                throw Failure("ground truth names row " + std::to_string(row) + " but there are only " +
                              std::to_string(ids.size()) + " base vectors");
            mapped[q].push_back(ids[row]);
        }
    return mapped;
}

std::vector<SweepPoint> sweepEf(const korvane_index* index, const VectorSet& queries,
                                const Neighbours& truth, std::uint64_t k,
                                const std::vector<std::uint64_t>& ef_values, std::uint64_t threads,
                                std::uint64_t rerank) {
    std::vector<SweepPoint> points;
    for (std::uint64_t ef : ef_values) points.push_back(measureEf(index, queries, truth, k, ef, threads, rerank));
    return points;
}

}  // namespace korvane::tool
