// End-to-end measurement helpers shared by the index benchmark and the peer
// comparison: clustered data with held-out queries, exact top-10 by inner
// product, single-thread builds and ef_search sweeps through the C interface.
// Each program prints plain tables; ratios are only ever taken between
// figures measured in the same run.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "api/handles.h"
#include "common/shape.h"
#include "encoding/lane_dot.h"
#include "korvane.h"
#include "support/test_support.h"

namespace korvane::bench {

constexpr std::size_t kTopK = 10;

struct Options {
    std::size_t n = 100000;
    std::size_t queries = 1000;
    std::size_t clusters = 1000;
    float noise = 0.5f;
    bool unit = false;  // scale every vector and query to length 1
    std::uint64_t seed = 7;
    std::size_t passes = 3;  // query passes per ef; the fastest counts
    std::vector<std::uint64_t> ef_search = {10, 16, 32, 64, 96, 128, 192, 256, 512};
};

inline std::vector<std::uint64_t> parseList(const char* text) {
    std::vector<std::uint64_t> values;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        values.push_back(std::strtoull(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p) break;
    }
    return values;
}

// --n=, --queries=, --clusters=, --noise=, --seed=, --passes=, --ef=16,64,..., --unit
inline Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        const std::string key = arg.substr(0, eq);
        const char* value = eq == std::string::npos ? "" : argv[i] + eq + 1;
        if (key == "--n") options.n = std::strtoull(value, nullptr, 10);
        else if (key == "--queries") options.queries = std::strtoull(value, nullptr, 10);
        else if (key == "--clusters") options.clusters = std::strtoull(value, nullptr, 10);
        else if (key == "--noise") options.noise = std::strtof(value, nullptr);
        else if (key == "--seed") options.seed = std::strtoull(value, nullptr, 10);
        else if (key == "--unit") options.unit = true;
        else if (key == "--passes") options.passes = std::strtoull(value, nullptr, 10);
        else if (key == "--ef") options.ef_search = parseList(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            std::exit(2);
        }
    }
    if (options.n < kTopK || options.queries == 0 || options.clusters == 0 || options.passes == 0) {
        std::fprintf(stderr, "need --n >= 10 and positive --queries, --clusters, --passes\n");
        std::exit(2);
    }
    return options;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the calling thread: on a shared, oversubscribed machine the
// time spent waiting for a core would otherwise swamp the figures.
inline double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

struct Dataset {
    std::size_t n = 0, queries = 0;
    std::vector<float> vectors;  // n x 256, ids are row numbers
    std::vector<float> query_vectors;
    std::vector<std::uint64_t> truth;  // queries x 10, best first

    const float* vector(std::size_t i) const { return vectors.data() + i * kDim; }
    const float* query(std::size_t q) const { return query_vectors.data() + q * kDim; }
};

// Queries come from the same cluster centres as the data but are not in it.
inline Dataset makeDataset(const Options& options) {
    Dataset data;
    data.n = options.n;
    data.queries = options.queries;
    std::vector<float> all = testing::clusteredVectors(options.n + options.queries, options.clusters,
                                                       options.noise, options.seed);
    if (options.unit) {
        for (std::size_t v = 0; v < options.n + options.queries; ++v) {
            float* x = all.data() + v * kDim;
            double norm = 0;
            for (std::size_t j = 0; j < kDim; ++j) norm += double(x[j]) * x[j];
            const float scale = norm > 0 ? float(1.0 / std::sqrt(norm)) : 0.0f;
            for (std::size_t j = 0; j < kDim; ++j) x[j] *= scale;
        }
    }
    data.vectors.assign(all.begin(), all.begin() + options.n * kDim);
    data.query_vectors.assign(all.begin() + options.n * kDim, all.end());

    // Exact inner products, a block of queries at a time against every vector.
    constexpr std::size_t kQueryBlock = 32;
    std::vector<float> scores(kQueryBlock * options.n);
    std::vector<std::pair<float, std::uint64_t>> ranked(options.n);
    data.truth.resize(options.queries * kTopK);
    for (std::size_t q0 = 0; q0 < options.queries; q0 += kQueryBlock) {
        const std::size_t count = std::min(kQueryBlock, options.queries - q0);
        matVecBlock(data.vectors.data(), options.n, data.query(q0), count, scores.data());
        for (std::size_t q = 0; q < count; ++q) {
            for (std::size_t i = 0; i < options.n; ++i) ranked[i] = {-scores[q * options.n + i], i};
            std::partial_sort(ranked.begin(), ranked.begin() + kTopK, ranked.end());
            for (std::size_t j = 0; j < kTopK; ++j) data.truth[(q0 + q) * kTopK + j] = ranked[j].second;
        }
    }
    return data;
}

// Fraction of the exact top 10 found among `ids` (up to 10 entries).
inline std::size_t hitsOf(const Dataset& data, std::size_t q, const std::uint64_t* ids, std::size_t count) {
    const std::uint64_t* truth = data.truth.data() + q * kTopK;
    std::size_t hits = 0;
    for (std::size_t i = 0; i < count; ++i) hits += std::count(truth, truth + kTopK, ids[i]);
    return hits;
}

struct SweepPoint {
    std::uint64_t ef = 0;
    double qps = 0;
    double recall = 0;
};

// Runs every query `passes` times with one context; the fastest pass gives
// the rate, the last one the recall (results do not change between passes).
template <class SearchAll>
SweepPoint measureSweepPoint(const Dataset& data, std::uint64_t ef, std::size_t passes, SearchAll&& search_all) {
    SweepPoint point{ef, 0, 0};
    double best = 1e300;
    std::size_t hits = 0;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        const double start = threadSeconds();
        hits = search_all();
        best = std::min(best, threadSeconds() - start);
    }
    point.qps = double(data.queries) / best;
    point.recall = double(hits) / double(data.queries * kTopK);
    return point;
}

struct OurBuild {
    korvane_index* index = nullptr;
    double seconds = 0;
    double rate() const { return seconds > 0 ? double(korvane_index_len(index)) / seconds : 0; }
};

inline OurBuild buildOurs(const Dataset& data, std::uint64_t ef_construction, std::uint64_t seed) {
    OurBuild build;
    build.index = korvane_index_create(ef_construction, seed);
    if (!build.index) {
        std::fprintf(stderr, "index creation failed\n");
        std::exit(1);
    }
    const double start = threadSeconds();
    for (std::size_t i = 0; i < data.n; ++i) {
        if (korvane_index_add(build.index, i, data.vector(i)) != KORVANE_OK) {
            std::fprintf(stderr, "insertion %zu failed\n", i);
            std::exit(1);
        }
    }
    build.seconds = threadSeconds() - start;
    return build;
}

inline SweepPoint sweepOurs(const Dataset& data, korvane_index* index, std::uint64_t ef, std::size_t passes) {
    korvane_context* context = korvane_context_create(index, ef);
    const SweepPoint point = measureSweepPoint(data, ef, passes, [&] {
        std::size_t hits = 0;
        std::uint64_t ids[kTopK];
        float scores[kTopK];
        for (std::size_t q = 0; q < data.queries; ++q) {
            const std::size_t got = korvane_search(index, context, data.query(q), kTopK, ids, scores);
            hits += hitsOf(data, q, ids, got);
        }
        return hits;
    });
    korvane_context_destroy(context);
    return point;
}

// The same sweep point through one korvane_search_batch call on one thread.
inline SweepPoint sweepOursBatch(const Dataset& data, korvane_index* index, std::uint64_t ef, std::size_t passes) {
    std::vector<std::uint64_t> ids(data.queries * kTopK), counts(data.queries);
    std::vector<float> scores(data.queries * kTopK);
    return measureSweepPoint(data, ef, passes, [&] {
        korvane_search_batch(index, data.query_vectors.data(), data.queries, kTopK, ef, 1, ids.data(),
                             scores.data(), counts.data());
        std::size_t hits = 0;
        for (std::size_t q = 0; q < data.queries; ++q) hits += hitsOf(data, q, ids.data() + q * kTopK, counts[q]);
        return hits;
    });
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
        if (i == 0) return sweep[0].qps;
        const SweepPoint& lo = sweep[i - 1];
        const SweepPoint& hi = sweep[i];
        if (hi.recall <= lo.recall) return hi.qps;
        const double t = (recall - lo.recall) / (hi.recall - lo.recall);
        return lo.qps + t * (hi.qps - lo.qps);
    }
    return -1;
}

inline void printSweep(const char* title, const std::vector<SweepPoint>& sweep) {
    std::printf("%s\n  %8s %12s %10s\n", title, "ef", "queries/s", "recall@10");
    for (const SweepPoint& p : sweep)
        std::printf("  %8llu %12.0f %10.4f\n", static_cast<unsigned long long>(p.ef), p.qps, p.recall);
}

inline void printSetting(const Options& options) {
    std::printf("data: %zu clustered vectors (%zu centres, noise %.2f, seed %llu%s), %zu held-out queries, "
                "k 10, single thread, best of %zu query passes; times are the thread's CPU time\n",
                options.n, options.clusters, double(options.noise), static_cast<unsigned long long>(options.seed),
                options.unit ? ", scaled to unit length" : "", options.queries, options.passes);
}

}  // namespace korvane::bench
