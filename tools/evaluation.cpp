#include "evaluation.h"

#include <algorithm>

#include "cli_error.h"

namespace korvane::tool {

namespace {

double queryRecall(const std::uint64_t* found, std::uint64_t found_count,
                   const std::vector<std::uint64_t>& truth, std::uint64_t k) {
    const std::uint64_t expected = std::min<std::uint64_t>(k, truth.size());
    if (expected == 0) return 1.0;
    const std::uint64_t hits = truthHits(truth, k, found, std::min(found_count, k));
    return static_cast<double>(hits) / expected;
}

}  // namespace

std::uint64_t truthHits(const std::vector<std::uint64_t>& truth, std::uint64_t k,
                        const std::uint64_t* found, std::uint64_t count) {
    const auto end = truth.begin() + std::min<std::uint64_t>(k, truth.size());
    std::uint64_t hits = 0;
    for (std::uint64_t i = 0; i < count; ++i)
        if (std::find(truth.begin(), end, found[i]) != end) ++hits;
    return hits;
}

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

SweepPoint measurePoint(std::uint64_t ef_search, const Neighbours& truth, std::uint64_t k,
                        const PassTiming& timing, const SearchPass& search) {
    SearchResults results;
    double best_rate = 0;
    for (std::uint64_t pass = 0; pass < std::max<std::uint64_t>(timing.passes, 1); ++pass) {
        std::uint64_t searched = 0;
        const double start = timing.clock();
        double elapsed = 0;
        do {
            results = search();
            searched += results.counts.size();
            elapsed = timing.clock() - start;
        } while (elapsed < timing.min_pass_seconds);
        best_rate = std::max(best_rate, searched / elapsed);
    }
    return {ef_search, recallAtK(results, truth, k), best_rate};
}

std::vector<SweepPoint> sweepEf(const korvane_index* index, const VectorSet& queries,
                                const Neighbours& truth, std::uint64_t k,
                                const std::vector<std::uint64_t>& ef_values, std::uint64_t threads,
                                SearchChoice choice, const PassTiming& timing) {
    std::vector<SweepPoint> points;
    for (std::uint64_t ef : ef_values)
        points.push_back(measurePoint(ef, truth, k, timing,
                                      [&] { return searchAll(index, queries, k, ef, threads, choice); }));
    return points;
}

}  // namespace korvane::tool
