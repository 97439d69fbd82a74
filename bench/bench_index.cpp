// End-to-end figures of the index in one run: single-thread insertion rate at
// two construction breadths, queries per second with recall@10 along an
// ef_search sweep, bytes per vector, and where a query's time goes
// (projection, graph walk, scoring), so that the next optimisation is aimed
// at the largest share. Flags: see index_harness.h (--n=100000 by default).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "api/handles.h"
#include "encoding/projection.h"
#include "encoding/reduced_projection.h"
#include "encoding/scoring.h"
#include "index/metric.h"
#include "index/query.h"
#include "index/scored_walk.h"
#include "index/search.h"
#include "index_harness.h"

namespace korvane::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxCandidatesTimed = 1024;

double nanosBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::nano>(b - a).count();
}

// Nanoseconds of each stage of one query.
struct QueryTimes {
    double projection = 0;  // rotation + routing projection + code
    double rotation = 0, matrix = 0, code = 0;  // its three pieces
    double walk = 0;        // greedyDescend over the upper layers + searchLayer
    double scoring = 0;     // quantize, table, estimates, first-stage heap, exact rerank
    // Pieces of scoring, timed again on their own after the real run.
    double table = 0;       // quantizeQuery + buildLut
    double estimates = 0;   // estimateScoreBlock over the live candidates
    double exact = 0;       // exactScoreI8Block over the re-scored candidates

    void keepFaster(const QueryTimes& o) {
        projection = std::min(projection, o.projection);
        rotation = std::min(rotation, o.rotation);
        matrix = std::min(matrix, o.matrix);
        code = std::min(code, o.code);
        walk = std::min(walk, o.walk);
        scoring = std::min(scoring, o.scoring);
        table = std::min(table, o.table);
        estimates = std::min(estimates, o.estimates);
        exact = std::min(exact, o.exact);
    }
    void add(const QueryTimes& o) {
        projection += o.projection;
        rotation += o.rotation;
        matrix += o.matrix;
        code += o.code;
        walk += o.walk;
        scoring += o.scoring;
        table += o.table;
        estimates += o.estimates;
        exact += o.exact;
    }
};

struct StagePass {
    std::vector<QueryTimes> queries;
    std::size_t candidates = 0;
    std::size_t visited = 0;  // nodes whose distance the layer-0 walk computed
    // Where recall is lost: exact top-10 members among the walk's candidates,
    // among the estimate stage's survivors, and among the results.
    std::size_t truth_in_candidates = 0, truth_in_rescored = 0, truth_in_results = 0;
    bool identical = true;  // staged results equal korvane_search's bit for bit
};

// Times the three pieces of scoring on their own with the context's buffers.
void timeScoringPieces(const Index& index, SearchContext& context, CandidateList candidates,
                       std::size_t k, QueryTimes& times) {
    const TurboQuantPayload* payloads[kMaxCandidatesTimed];
    const std::int8_t* raws[kMaxCandidatesTimed];
    float scales[kMaxCandidatesTimed];
    float scores[kMaxCandidatesTimed];
    std::size_t live = 0;
    for (std::size_t c = 0; c < candidates.len && live < kMaxCandidatesTimed; ++c) {
        const std::uint64_t node = candidates.items[c].node;
        if (isRemoved(index, node)) continue;
        payloads[live] = &index.payloads[node];
        raws[live] = index.raw_i8.data + node * kDim;
        scales[live] = index.raw_scales[node];
        ++live;
    }
    const std::size_t rescored = std::min<std::size_t>(live, std::min<std::size_t>(4 * k, context.ef_search));

    const auto t0 = Clock::now();
    const LutSums sums = prepareEstimates(index, context);
    const auto t1 = Clock::now();
    for (std::size_t start = 0; start < live; start += 64)
        estimateScoreBlock(payloads + start, std::min<std::size_t>(64, live - start), context.lut, sums,
                           scores + start);
    const auto t2 = Clock::now();
    for (std::size_t start = 0; start < rescored; start += 64)
        exactScoreI8Block(context.query_rotated, raws + start, scales + start,
                          std::min<std::size_t>(64, rescored - start), scores + start);
    const auto t3 = Clock::now();
    times.table = nanosBetween(t0, t1);
    times.estimates = nanosBetween(t1, t2);
    times.exact = nanosBetween(t2, t3);
}

// Node numbers equal ids here: the benchmark inserts ids 0, 1, 2, ... in order.
void countSurvivors(const Dataset& data, std::size_t q, const SearchContext& context, CandidateList candidates,
                    const SearchResult* results, std::size_t n, StagePass& pass) {
    std::uint64_t result_ids[kTopK];
    for (std::size_t i = 0; i < n; ++i) result_ids[i] = results[i].id;
    const std::vector<std::uint64_t>& truth = data.truth[q];
    pass.truth_in_results += tool::truthHits(truth, kTopK, result_ids, n);
    for (std::size_t c = 0; c < candidates.len; ++c)
        pass.truth_in_candidates += tool::truthHits(truth, kTopK, &candidates.items[c].node, 1);
    const std::size_t rescored = std::min<std::size_t>(candidates.len, std::min<std::size_t>(4 * kTopK, context.ef_search));
    for (std::size_t r = 0; r < rescored; ++r) pass.truth_in_rescored += tool::truthHits(truth, kTopK, &context.rerank[r].id, 1);
    pass.candidates += candidates.len;
}

StagePass timeStages(const Dataset& data, korvane_index* handle, std::uint64_t ef) {
    const Index& index = *fromHandle(handle);
    korvane_context* context_handle = korvane_context_create(handle, ef);
    korvane_context* check_handle = korvane_context_create(handle, ef);
    SearchContext& context = *fromHandle(context_handle);
    StagePass pass;
    pass.queries.resize(data.queries.count);
    SearchResult results[kTopK];
    std::uint64_t ids[kTopK];
    float scores[kTopK];
    for (std::size_t q = 0; q < data.queries.count; ++q) {
        QueryTimes& times = pass.queries[q];
        // routeQuery's two steps, stamped apart.
        const auto t0 = Clock::now();
        rotateVector(index.rotation, data.queries.row(q), context.query_rotated);
        const auto ta = Clock::now();
        const RoutingCode code = verifiedRoutingCode(index.projection, index.reduced_projection,
                                                     context.query_rotated, context.query_projected);
        const auto tb = Clock::now();
        const auto t1 = tb;  // the verified path forms the code as it goes
        times.rotation = nanosBetween(t0, ta);
        times.matrix = nanosBetween(ta, tb);
        times.code = nanosBetween(tb, t1);
        const CandidateList candidates = walkGraph(index, context, code);
        const auto t2 = Clock::now();
        for (std::size_t w = 0; w < context.scratch.visited.wordCount(); ++w)
            pass.visited += std::size_t(__builtin_popcountll(context.scratch.visited.words[w]));
        const std::size_t n = scoreCandidates(index, context, candidates, results, kTopK);
        const auto t3 = Clock::now();
        times.projection = nanosBetween(t0, t1);
        times.walk = nanosBetween(t1, t2);
        times.scoring = nanosBetween(t2, t3);

        const std::size_t expected = korvane_search(handle, check_handle, data.queries.row(q), kTopK, ids, scores);
        if (expected != n) pass.identical = false;
        for (std::size_t i = 0; i < n && i < expected; ++i)
            if (ids[i] != results[i].id || std::memcmp(&scores[i], &results[i].score, sizeof(float)) != 0)
                pass.identical = false;
        countSurvivors(data, q, context, candidates, results, n, pass);
        // The candidate list is still in the context's scratch.
        timeScoringPieces(index, context, candidates, kTopK, times);
    }
    korvane_context_destroy(check_handle);
    korvane_context_destroy(context_handle);
    return pass;
}

// Per query and stage, the fastest of `passes` runs, summed over the queries:
// a run that lost its core for a while inflates only one query's stage, and
// the other runs outvote it. Wall-clock stamps are used because the thread
// CPU clock costs microseconds per reading here.
struct StageTotals {
    QueryTimes sum;
    StagePass last;
};

StageTotals fastestStages(const Dataset& data, korvane_index* handle, std::uint64_t ef, std::size_t passes) {
    timeStages(data, handle, ef);  // warm caches and predictors
    StageTotals totals;
    totals.last = timeStages(data, handle, ef);
    std::vector<QueryTimes> best = totals.last.queries;
    for (std::size_t pass = 1; pass < passes; ++pass) {
        const StagePass again = timeStages(data, handle, ef);
        for (std::size_t q = 0; q < data.queries.count; ++q) best[q].keepFaster(again.queries[q]);
        totals.last.identical = totals.last.identical && again.identical;
    }
    for (const QueryTimes& t : best) totals.sum.add(t);
    return totals;
}

void printStages(const Dataset& data, korvane_index* handle, std::size_t passes) {
    std::printf("\nwhere a query's time goes (ef_construction 200 index, k 10, microseconds per query)\n");
    std::printf("  %5s %7s | %10s %10s %10s | %6s %6s %6s | %6s %6s %6s %6s\n", "ef", "total", "projection",
                "graph walk", "scoring", "rotate", "matrix", "code", "table", "estim.", "exact", "rest");
    std::vector<StagePass> rows;
    std::vector<double> walk_nanos;  // per query
    const std::uint64_t efs[] = {16, 64, 128, 256};
    for (const std::uint64_t ef : efs) {
        const StageTotals totals = fastestStages(data, handle, ef, passes);
        const QueryTimes& t = totals.sum;
        rows.push_back(totals.last);
        walk_nanos.push_back(t.walk / double(data.queries.count));
        const double q = double(data.queries.count) * 1e3;
        const double total = t.projection + t.walk + t.scoring;
        const double rest = std::max(0.0, t.scoring - t.table - t.estimates - t.exact);
        std::printf("  %5llu %7.1f | %4.1f (%2.0f%%) %4.1f (%2.0f%%) %4.1f (%2.0f%%) | %6.2f %6.2f %6.2f | %6.2f %6.2f %6.2f %6.2f%s\n",
                    static_cast<unsigned long long>(ef), total / q, t.projection / q, 100 * t.projection / total,
                    t.walk / q, 100 * t.walk / total, t.scoring / q, 100 * t.scoring / total, t.rotation / q,
                    t.matrix / q, t.code / q, t.table / q,
                    t.estimates / q, t.exact / q, rest / q, totals.last.identical ? "" : "  STAGED RESULTS DIFFER");
    }
    std::printf("  projection: rotation + routing code from the verified 1024x256 projection (rotate\n"
                "  and matrix are its pieces; the code is formed inside matrix, so code reads 0);\n"
                "  graph walk: greedyDescend + searchLayer; scoring: quantize + table +\n"
                "  estimates + heaps + exact re-scoring, of which table, estim. and exact are timed again\n"
                "  on their own (warm) and rest is the remainder (heaps, first touches of payloads and\n"
                "  raw copies).\n");

    std::printf("\nwhere recall is lost (share of the exact top 10 that survives each step)\n");
    std::printf("  %5s %12s %12s %12s %10s %10s %12s\n", "ef", "candidates", "re-scored", "returned", "cands/q",
                "visited/q", "walk ns/node");
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const double denominator = double(data.queries.count * kTopK);
        const double visited = double(rows[r].visited) / double(data.queries.count);
        std::printf("  %5llu %12.4f %12.4f %12.4f %10.1f %10.1f %12.1f\n", static_cast<unsigned long long>(efs[r]),
                    rows[r].truth_in_candidates / denominator, rows[r].truth_in_rescored / denominator,
                    rows[r].truth_in_results / denominator, double(rows[r].candidates) / double(data.queries.count),
                    visited, walk_nanos[r] / visited);
    }
    std::printf("  candidates: found by the graph walk; re-scored: kept by the estimates (best 4k);\n"
                "  returned: after exact re-scoring of the 8-bit copies; visited: layer-0 nodes whose\n"
                "  distance the walk computed; walk ns/node: graph walk time per visited node.\n");
}

// The scored walk of an int8 index, timed in its three parts, with what it
// reads: each measured node costs its 8-bit copy and scale, each expansion
// its graph record. The memory-bound pace is a gather of random 8-bit
// copies, prefetched sixteen at a time as the walk does, on the same index.
double gatherNanosPerCopy(const Index& index, std::size_t copies) {
    const std::size_t padded = index.shape.padded, n = index.payloads.len;
    std::uint64_t state = 88172645463325252ull, sum = 0;
    std::uint64_t nodes[16];
    const auto t0 = Clock::now();
    for (std::size_t done = 0; done < copies; done += 16) {
        for (std::uint64_t& node : nodes) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            node = state % n;
            for (std::size_t b = 0; b < padded; b += 64) __builtin_prefetch(index.raw_i8.data + node * padded + b);
            __builtin_prefetch(&index.raw_scales[node]);
        }
        for (const std::uint64_t node : nodes)
            for (std::size_t b = 0; b < padded; b += 64) sum += std::uint8_t(index.raw_i8.data[node * padded + b]);
    }
    const double nanos = nanosBetween(t0, Clock::now());
    if (sum == 1) std::printf(" ");  // keeps the reads
    return nanos / double(copies);
}

void printScoredWalkStages(const Dataset& data, korvane_index* handle, std::size_t passes) {
    const Index& index = *fromHandle(handle);
    std::printf("\nscored walk: where a query's time goes and what it reads (int8 store, microseconds per query)\n");
    std::printf("  %5s %9s %7s | %7s %7s %7s | %9s %9s %8s %12s %12s\n", "ef", "recall", "total", "front", "walk",
                "final", "measured", "expanded", "KiB read", "ns/copy walk", "ns/copy bound");
    const double bound = gatherNanosPerCopy(index, 1u << 20);
    for (const std::uint64_t ef : {16, 32, 64}) {
        korvane_context* handle_context = korvane_context_create(handle, ef);
        korvane_context_set_walk(handle_context, KORVANE_WALK_SCORED);
        SearchContext& context = *fromHandle(handle_context);
        double front = 0, walking = 0, final = 0, hits = 0, measured = 0, expanded = 0;
        for (std::size_t pass = 0; pass < passes; ++pass) {
            double f = 0, w = 0, s = 0;
            measured = expanded = hits = 0;
            for (std::size_t q = 0; q < data.queries.count; ++q) {
                SearchResult results[kTopK];
                const auto t0 = Clock::now();
                prepareVector(index, data.queries.row(q), context.query_rotated);
                readyToSearch(index, context, kTopK);
                const auto t1 = Clock::now();
                ScoredWalk walk;
                beginScoredWalk(index, context, walk);
                std::size_t steps = 0;
                while (stepScoredWalk(index, context, walk)) ++steps;
                const auto t2 = Clock::now();
                for (std::size_t word = 0; word < context.scratch.visited.wordCount(); ++word)
                    measured += double(__builtin_popcountll(context.scratch.visited.words[word]));
                expanded += double(steps) / 2.0;
                const std::size_t n = finishScoredWalk(index, context, walk, results, kTopK);
                const auto t3 = Clock::now();
                f += nanosBetween(t0, t1), w += nanosBetween(t1, t2), s += nanosBetween(t2, t3);
                std::uint64_t ids[kTopK];
                for (std::size_t i = 0; i < n; ++i) ids[i] = results[i].id;
                hits += double(tool::truthHits(data.truth[q], kTopK, ids, n));
            }
            if (pass == 0 || f + w + s < front + walking + final) front = f, walking = w, final = s;
        }
        korvane_context_destroy(handle_context);
        const double q = double(data.queries.count);
        const double copy_bytes = double(index.shape.padded + sizeof(float));
        const double kib = (measured * copy_bytes + expanded * sizeof(Node)) / q / 1024.0;
        std::printf("  %5llu %9.4f %7.1f | %7.1f %7.1f %7.1f | %9.0f %9.0f %8.1f %12.1f %12.1f\n",
                    static_cast<unsigned long long>(ef), hits / (q * kTopK), (front + walking + final) / q / 1e3,
                    front / q / 1e3, walking / q / 1e3, final / q / 1e3, measured / q, expanded / q, kib,
                    walking / measured, bound);
    }
    std::printf("  front: rotation (no routing code is needed); walk: the upper layers' greedy descent and the\n"
                "  base layer's walk, both by the 8-bit score; final: the best k of the walk's results.\n"
                "  measured: base-layer nodes scored per query; KiB read: their copies and scales and the\n"
                "  expanded nodes' records; ns/copy bound: a gather of random copies, sixteen in flight.\n");
}

// The recall choices side by side on one graph shape (ef_construction 200):
// each store with the default depth and with every candidate re-scored.
void printStoreSweeps(const Dataset& data, const Options& options, korvane_index* int8_index) {
    struct Store {
        const char* name;
        std::uint32_t store;
    };
    const Store stores[] = {{"int8", KORVANE_STORE_I8}, {"f32", KORVANE_STORE_F32}, {"none", KORVANE_STORE_NONE}};
    std::printf("\nrecall choices (ef_construction 200): ceiling = best recall@10 of the sweep\n");
    std::printf("  %-6s %7s %12s %9s %16s %16s\n", "store", "rerank", "bytes/vector", "ceiling", "queries/s @0.95",
                "queries/s @0.99");
    for (const Store& s : stores) {
        OurBuild build{int8_index, 0};
        if (s.store != KORVANE_STORE_I8) build = buildOurs(data, 200, options.setup.seed, s.store);
        for (const std::uint64_t rerank : {4, 0}) {
            if (s.store == KORVANE_STORE_NONE && rerank == 0) continue;  // nothing to re-score
            std::vector<SweepPoint> sweep;
            for (const std::uint64_t ef : options.ef_search)
                sweep.push_back(sweepOurs(data, build.index, ef, options.passes, rerank));
            double ceiling = 0;
            for (const SweepPoint& p : sweep) ceiling = std::max(ceiling, p.recall);
            std::printf("  %-6s %7s %12.0f %9.4f %16.0f %16.0f\n", s.name,
                        s.store == KORVANE_STORE_NONE ? "-" : rerank ? "4" : "all",
                        bytesPerVectorWithoutHeadroom(build.index, data.n()), ceiling, qpsAtRecall(sweep, 0.95),
                        qpsAtRecall(sweep, 0.99));
            std::fflush(stdout);
        }
        if (build.index != int8_index) korvane_index_destroy(build.index);
    }
    std::printf("  (queries/s interpolated along the ef sweep; -1: the level is not reached)\n");
}

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
    using namespace korvane::bench;
    const Options options = parseOptions(argc, argv);
    printSetting(options);
    const korvane::tool::Stopwatch clock;
    const Dataset data = makeDataset(options);
    std::printf("data and exact top-10 ready in %.1f s\n\n", clock.seconds());

    std::printf("single-thread insertion (korvane_index_add)\n  %16s %10s %12s %14s %18s\n", "ef_construction",
                "seconds", "vectors/s", "bytes/vector", "without headroom");
    std::vector<OurBuild> builds;
    for (const std::uint64_t ef_construction : {64, 200}) {
        builds.push_back(buildOurs(data, ef_construction, options.setup.seed));
        const OurBuild& b = builds.back();
        std::printf("  %16llu %10.2f %12.0f %14.1f %18.1f\n", static_cast<unsigned long long>(ef_construction),
                    b.seconds, b.rate(), bytesPerVector(b.index, data.n()),
                    bytesPerVectorWithoutHeadroom(b.index, data.n()));
        std::fflush(stdout);
    }
    std::printf("  (bytes/vector: korvane_index_memory_bytes / n, fixed 1.3 MB of matrices included; without\n"
                "   headroom: less the spare capacity of the per-node arrays, which grow by half when full)\n\n");

    const char* titles[] = {"search, ef_construction 64 index", "search, ef_construction 200 index"};
    for (std::size_t b = 0; b < builds.size(); ++b) {
        std::vector<SweepPoint> sweep;
        for (const std::uint64_t ef : options.ef_search)
            sweep.push_back(sweepOurs(data, builds[b].index, ef, options.passes));
        printSweep(titles[b], sweep);
        const double at95 = qpsAtRecall(sweep, 0.95);
        if (at95 > 0) std::printf("  queries/s at recall@10 0.95 (interpolated): %.0f\n", at95);
        else std::printf("  recall@10 0.95 not reached along this sweep\n");
        std::fflush(stdout);
    }

    printStages(data, builds.back().index, options.passes);
    printScoredWalkStages(data, builds.back().index, options.passes);
    printStoreSweeps(data, options, builds.back().index);
    for (const OurBuild& b : builds) korvane_index_destroy(b.index);
    return 0;
}
