// End-to-end measurement helpers shared by the index benchmark, the batch
// benchmark and the hnswlib comparison. The data (the demo's clustered set
// with held-out queries), the exact top-10 and the timed ef_search sweeps are
// the korvane tool's own (tools/dataset.h, ground_truth.h, evaluation.h).
// Each program prints plain tables; ratios are only ever taken between
// figures measured in the same run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/handles.h"
#include "args.h"
#include "cli_error.h"
#include "dataset.h"
#include "evaluation.h"
#include "ground_truth.h"
#include "korvane.h"
#include "parallel.h"
#include "stopwatch.h"

namespace korvane::bench {

using tool::SweepPoint;

constexpr std::size_t kTopK = 10;

struct Options {
    tool::ClusteredSetup setup;  // the demo's data set: 100,000 vectors, 1,000 queries
    std::uint64_t passes = 3;    // query passes per ef; the fastest counts
    std::vector<std::uint64_t> ef_search = {10, 16, 32, 64, 96, 128, 192, 256, 512};
};

// --n=, --queries=, --clusters=, --seed=, --passes=, --ef=16,64,...
inline Options parseOptions(int argc, char** argv) {
    Options options;
    tool::ClusteredSetup& setup = options.setup;
    try {
        const tool::Args args = tool::parseArgs(
            tool::Words(argv + 1, argv + argc),
            {tool::countRule("--n", "base vectors", kTopK, 1ull << 26, setup.base_count),
             tool::countRule("--queries", "held-out queries", 1, 1ull << 20, setup.query_count),
             tool::countRule("--clusters", "cluster centres", 1, 1ull << 20, setup.clusters),
             tool::countRule("--seed", "seed of the data and the indexes", 0, ~0ull, setup.seed),
             tool::countRule("--passes", "query passes per ef; the fastest counts", 1, 1000, options.passes),
             tool::countListRule("--ef", "ef_search values", 1, 1ull << 20, options.ef_search)});
        setup.base_count = args.count("--n");
        setup.query_count = args.count("--queries");
        setup.clusters = args.count("--clusters");
        setup.seed = args.count("--seed");
        options.passes = args.count("--passes");
        options.ef_search = args.countList("--ef");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        std::exit(2);
    }
    return options;
}

struct Dataset {
    tool::VectorSet base;  // ids are row numbers
    tool::VectorSet queries;
    tool::Neighbours truth;  // per query, the exact top 10 rows, best first

    std::size_t n() const { return base.count; }
};

// Queries come from the same cluster centres as the data but are not in it.
inline Dataset makeDataset(const Options& options) {
    const std::uint64_t threads = tool::hardwareThreads();
    tool::ClusteredData generated = tool::generateClustered(options.setup, threads);
    Dataset data{std::move(generated.base), std::move(generated.queries), {}};
    data.truth = tool::exactTopK(data.base, data.queries, kTopK, threads);
    return data;
}

// Single-thread figures: the thread's CPU time, fastest of `passes` passes.
inline tool::PassTiming singleThreadTiming(std::uint64_t passes) { return {passes, 0.0, tool::threadSeconds}; }

struct OurBuild {
    korvane_index* index = nullptr;
    double seconds = 0;
    double rate() const { return seconds > 0 ? double(korvane_index_len(index)) / seconds : 0; }
};

inline OurBuild buildOurs(const Dataset& data, std::uint64_t ef_construction, std::uint64_t seed,
                          std::uint32_t store = KORVANE_STORE_I8) {
    OurBuild build;
    build.index = korvane_index_create_with_store(ef_construction, seed, store);
    if (!build.index) {
        std::fprintf(stderr, "index creation failed\n");
        std::exit(1);
    }
    const double start = tool::threadSeconds();
    for (std::size_t i = 0; i < data.n(); ++i) {
        if (korvane_index_add(build.index, i, data.base.row(i)) != KORVANE_OK) {
            std::fprintf(stderr, "insertion %zu failed\n", i);
            std::exit(1);
        }
    }
    build.seconds = tool::threadSeconds() - start;
    return build;
}

// Recall@10 and queries/s of the batch search at one ef_search.
inline SweepPoint measureOurs(const Dataset& data, const korvane_index* index, std::uint64_t ef,
                              std::uint64_t threads, const tool::PassTiming& timing,
                              std::uint64_t rerank = tool::kDefaultRerank,
                              std::uint32_t walk = KORVANE_WALK_HAMMING) {
    try {
        return tool::sweepEf(index, data.queries, data.truth, kTopK, {ef}, threads, tool::SearchChoice{rerank, walk},
                             timing)[0];
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        std::exit(1);
    }
}

// Recall@10 and single-thread queries/s of a loop of korvane_search over
// the queries, with one context re-scoring `rerank` x k estimates and
// walking as `walk` says.
inline SweepPoint sweepOurs(const Dataset& data, const korvane_index* index, std::uint64_t ef,
                            std::uint64_t passes, std::uint64_t rerank = tool::kDefaultRerank,
                            std::uint32_t walk = KORVANE_WALK_HAMMING) {
    const tool::ContextPtr context(korvane_context_create(index, ef));
    korvane_context_set_rerank(context.get(), rerank);
    korvane_context_set_walk(context.get(), walk);
    return tool::measurePoint(ef, data.truth, kTopK, singleThreadTiming(passes), [&] {
        return tool::searchOneByOne(index, context.get(), data.queries, kTopK);
    });
}

// The same sweep point through one korvane_search_batch call on one thread.
inline SweepPoint sweepOursBatch(const Dataset& data, const korvane_index* index, std::uint64_t ef,
                                 std::uint64_t passes, std::uint32_t walk = KORVANE_WALK_HAMMING) {
    return measureOurs(data, index, ef, 1, singleThreadTiming(passes), tool::kDefaultRerank, walk);
}

// The part of korvane_index_memory_bytes that is spare capacity of the
// per-node arrays (they grow by half when full), with the estimate's weights.
inline double growthHeadroomBytes(const korvane_index* handle) {
    const Index& index = *fromHandle(handle);
    double spare = 152.0 * double(index.payloads.cap - index.payloads.len);
    for (const Layer& layer : index.graph.layers)
        spare += 400.0 * double(layer.nodes.cap - layer.nodes.len) + 128.0 * double(layer.codes.cap - layer.codes.len);
    spare += double(index.raw_i8.cap - index.raw_i8.len);
    spare += 4.0 * double(index.raw_f32.cap - index.raw_f32.len + index.raw_scales.cap - index.raw_scales.len);
    return spare;
}

inline double bytesPerVector(const korvane_index* index, std::size_t n) {
    return double(korvane_index_memory_bytes(index)) / double(n);
}
inline double bytesPerVectorWithoutHeadroom(const korvane_index* index, std::size_t n) {
    return (double(korvane_index_memory_bytes(index)) - growthHeadroomBytes(index)) / double(n);
}

// Queries per second at a recall level, interpolated linearly in recall
// between the two sweep points around it (sweeps rise in recall with ef).
// Negative when the sweep never reaches the level.
inline double qpsAtRecall(const std::vector<SweepPoint>& sweep, double recall) {
    for (std::size_t i = 0; i < sweep.size(); ++i) {
        if (sweep[i].recall < recall) continue;
        if (i == 0) return sweep[0].queries_per_second;
        const SweepPoint& lo = sweep[i - 1];
        const SweepPoint& hi = sweep[i];
        if (hi.recall <= lo.recall) return hi.queries_per_second;
        const double t = (recall - lo.recall) / (hi.recall - lo.recall);
        return lo.queries_per_second + t * (hi.queries_per_second - lo.queries_per_second);
    }
    return -1;
}

inline void printSweep(const char* title, const std::vector<SweepPoint>& sweep) {
    std::printf("%s\n  %8s %12s %10s\n", title, "ef", "queries/s", "recall@10");
    for (const SweepPoint& p : sweep)
        std::printf("  %8llu %12.0f %10.4f\n", static_cast<unsigned long long>(p.ef_search), p.queries_per_second,
                    p.recall);
}

inline void printSetting(const Options& options) {
    const tool::ClusteredSetup& setup = options.setup;
    std::printf("data: the demo's %llu clustered unit vectors (%llu centres, noise %.2f, seed %llu), %llu held-out "
                "queries, k 10, single thread, best of %llu query passes; times are the thread's CPU time\n",
                static_cast<unsigned long long>(setup.base_count), static_cast<unsigned long long>(setup.clusters),
                double(setup.noise), static_cast<unsigned long long>(setup.seed),
                static_cast<unsigned long long>(setup.query_count), static_cast<unsigned long long>(options.passes));
}

}  // namespace korvane::bench
