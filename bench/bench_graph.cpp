// Routing graph: Hamming distances on every kernel path (against a plain
// hardware-popcount loop), searchLayer on the base layer of a large graph of
// random codes, and the rate of building such graphs with insertWithLevel.
// Ends with a table of ratios measured in this run.
//
// KORVANE_BENCH_GRAPH_NODES overrides the graph size (default 100000).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "common/shape.h"
#include "graph/hamming.h"
#include "graph/heap.h"
#include "graph/insert.h"
#include "graph/layer.h"
#include "graph/search.h"
#include "rate_reporter.h"
#include "support/test_support.h"

namespace {

using namespace korvane;

constexpr std::size_t kCodePool = 4096;  // 512 KiB: distances from cache, like a warm search
constexpr std::size_t kListLength = 32;  // one neighbour list per call

std::size_t graphNodes() {
    const char* text = std::getenv("KORVANE_BENCH_GRAPH_NODES");
    return text ? std::strtoull(text, nullptr, 10) : 100000;
}

std::vector<RoutingCode> randomCodes(std::size_t count, std::uint64_t seed) {
    testing::TestRng rng(seed);
    std::vector<RoutingCode> codes(count);
    for (auto& code : codes)
        for (auto& word : code.words) word = rng.next();
    return codes;
}

std::uint64_t drawLevel(testing::TestRng& rng) {
    std::uint64_t level = 0;
    while (level < kTopLevel && rng.next() % kDegree == 0) ++level;
    return level;
}

// Yardstick: one hardware popcount per word, as a compiler would write it.
__attribute__((target("popcnt"))) std::uint32_t plainHamming(const RoutingCode& a, const RoutingCode& b) {
    std::uint32_t total = 0;
    for (std::size_t w = 0; w < kRoutingWords; ++w) total += __builtin_popcountll(a.words[w] ^ b.words[w]);
    return total;
}

struct CodePool {
    std::vector<RoutingCode> codes = randomCodes(kCodePool, 1);
    std::vector<std::uint32_t> positions;
    CodePool() {
        testing::TestRng rng(2);
        for (std::size_t i = 0; i < kCodePool; ++i) positions.push_back(rng.next() % kCodePool);
    }
};

const CodePool& pool() {
    static const CodePool p;
    return p;
}

void setDistanceRate(benchmark::State& state, std::size_t per_iteration) {
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(per_iteration));
}

// The batch form that traversal uses: a query against a list of positions.
void BM_HammingBatch(benchmark::State& state, SimdPath path) {
    if (!simdPathSupported(path)) return state.SkipWithError("path not supported by this CPU");
    const CodePool& p = pool();
    std::uint32_t out[kListLength];
    std::size_t offset = 0;
    for (auto _ : state) {
        hammingKernelsFor(path).distances(p.codes[offset], p.codes.data(), p.positions.data() + offset,
                                          kListLength, out);
        benchmark::DoNotOptimize(out);
        offset = (offset + kListLength) % (kCodePool - kListLength);
    }
    setDistanceRate(state, kListLength);
}

void BM_HammingSingle(benchmark::State& state, SimdPath path) {
    if (!simdPathSupported(path)) return state.SkipWithError("path not supported by this CPU");
    const CodePool& p = pool();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hammingKernelsFor(path).distance(p.codes[i], p.codes[p.positions[i]]));
        i = (i + 1) % kCodePool;
    }
    setDistanceRate(state, 1);
}

void BM_HammingPlain(benchmark::State& state) {
    const CodePool& p = pool();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(plainHamming(p.codes[i], p.codes[p.positions[i]]));
        i = (i + 1) % kCodePool;
    }
    setDistanceRate(state, 1);
}

struct Graph {
    RoutingGraph graph;
    explicit Graph(std::uint64_t ef) { initGraph(graph, ef); }
    ~Graph() { deinit(graph); }
};

// Builds a whole graph per iteration; reports insertions per second.
void BM_Build(benchmark::State& state) {
    const std::size_t nodes = graphNodes();
    const std::vector<RoutingCode> codes = randomCodes(nodes, 3);
    for (auto _ : state) {
        Graph g(static_cast<std::uint64_t>(state.range(0)));
        testing::TestRng rng(4);
        for (std::size_t i = 0; i < nodes; ++i)
            if (insertWithLevel(g.graph, i, codes[i], drawLevel(rng)) != Error::Ok)
                return state.SkipWithError("out of memory");
        state.counters["layers"] = double(g.graph.layers.len);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(nodes));
}

// One graph of random codes, built once at ef_construction 64.
const RoutingGraph& searchGraph() {
    static const std::unique_ptr<Graph> g = [] {
        auto built = std::make_unique<Graph>(64);
        const std::vector<RoutingCode> codes = randomCodes(graphNodes(), 3);
        testing::TestRng rng(4);
        for (std::size_t i = 0; i < codes.size(); ++i) insertWithLevel(built->graph, i, codes[i], drawLevel(rng));
        return built;
    }();
    return g->graph;
}

// searchLayer on the base layer, started where the descent through the upper
// layers ends (the descent is not timed).
void BM_SearchLayer(benchmark::State& state) {
    const RoutingGraph& graph = searchGraph();
    const std::size_t breadth = static_cast<std::size_t>(state.range(0));
    const std::vector<RoutingCode> queries = randomCodes(256, 5);
    std::vector<std::uint64_t> entries;
    for (const RoutingCode& query : queries) {
        std::uint64_t ep = graph.entry_point;
        for (std::size_t l = graph.layers.len - 1; l > 0; --l) ep = greedyDescend(graph.layers[l], query, ep);
        entries.push_back(ep);
    }
    TraversalScratch scratch;
    if (!ensureCapacity(scratch, graph.node_count, breadth)) return state.SkipWithError("out of memory");
    std::size_t q = 0;
    for (auto _ : state) {
        const CandidateList found = searchLayer(graph.layers[0], queries[q], entries[q], breadth, scratch);
        benchmark::DoNotOptimize(found.items);
        q = (q + 1) % queries.size();
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()));
    deinit(scratch);
}

// A base layer of random codes with random neighbour lists, built directly
// (building 1M nodes by insertion does not fit a benchmark run). The walk's
// length depends on the breadth, not on the size, so any difference between
// sizes is what a search pays for the index being larger.
struct RandomLayer {
    Layer layer;
    std::vector<RoutingCode> queries = randomCodes(256, 8);
    std::vector<std::uint64_t> entries;
    explicit RandomLayer(std::size_t nodes) {
        layer.dense = true;
        testing::TestRng rng(nodes);
        Node node{};
        RoutingCode code;
        node.neighbor_count = kDegree;
        for (std::size_t i = 0; i < nodes; ++i) {
            node.node = static_cast<std::uint32_t>(i);
            for (auto& word : code.words) word = rng.next();
            for (auto& neighbor : node.neighbors) neighbor = static_cast<std::uint32_t>(rng.next() % nodes);
            if (!addNode(layer, node, code)) std::abort();
        }
        for (std::size_t q = 0; q < queries.size(); ++q) entries.push_back(rng.next() % nodes);
    }
    ~RandomLayer() {
        layer.nodes.deinit();
        layer.codes.deinit();
        layer.positions.deinit();
    }
};

const RandomLayer& randomLayer(std::size_t nodes) {
    static std::map<std::size_t, std::unique_ptr<RandomLayer>> layers;
    auto& slot = layers[nodes];
    if (!slot) slot = std::make_unique<RandomLayer>(nodes);
    return *slot;
}

// searchLayer at breadth 64 on a random layer of `nodes` nodes; with
// `full_clear` the whole visited set is cleared before each search, as every
// search did before it cleared only the words it had set.
void BM_SearchRandomLayer(benchmark::State& state, bool full_clear) {
    const std::size_t nodes = static_cast<std::size_t>(state.range(0));
    const RandomLayer& r = randomLayer(nodes);
    TraversalScratch scratch;
    if (!ensureCapacity(scratch, nodes, 64)) return state.SkipWithError("out of memory");
    std::size_t q = 0;
    for (auto _ : state) {
        if (full_clear) scratch.visited.clearAll();
        const CandidateList found = searchLayer(r.layer, r.queries[q], r.entries[q], 64, scratch);
        benchmark::DoNotOptimize(found.items);
        q = (q + 1) % r.queries.size();
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()));
    deinit(scratch);
}

std::string randomLayerName(bool full_clear) {
    return std::string("SearchRandomLayer") + (full_clear ? "/full_clear" : "");
}

constexpr std::size_t kRandomLayerSizes[] = {100000, 1000000};

constexpr SimdPath kPaths[] = {SimdPath::Scalar, SimdPath::Avx2, SimdPath::Avx512};

void registerAll() {
    for (SimdPath path : kPaths) {
        benchmark::RegisterBenchmark((std::string("HammingBatch/") + simdPathName(path)).c_str(),
                                     [=](benchmark::State& s) { BM_HammingBatch(s, path); });
        benchmark::RegisterBenchmark((std::string("HammingSingle/") + simdPathName(path)).c_str(),
                                     [=](benchmark::State& s) { BM_HammingSingle(s, path); });
    }
    benchmark::RegisterBenchmark("HammingSingle/plain", BM_HammingPlain);
    benchmark::RegisterBenchmark("SearchLayer/ef", BM_SearchLayer)->Arg(64)->Arg(200)->Unit(benchmark::kMicrosecond);
    for (bool full_clear : {false, true})
        for (std::size_t nodes : kRandomLayerSizes)
            benchmark::RegisterBenchmark(randomLayerName(full_clear).c_str(),
                                         [=](benchmark::State& s) { BM_SearchRandomLayer(s, full_clear); })
                ->Arg(std::int64_t(nodes))->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Build/ef_construction", BM_Build)
        ->Arg(64)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond);
}

void printRatios(const RateReporter& r) {
    std::printf("\nHamming distances per second (speed-up against the scalar path):\n");
    std::printf("%-8s %16s %10s %16s %10s %12s\n", "path", "batch /s", "vs scalar", "single /s",
                "vs scalar", "vs plain");
    const double batch_scalar = r.rate("HammingBatch/scalar");
    const double single_scalar = r.rate("HammingSingle/scalar");
    const double plain = r.rate("HammingSingle/plain");
    for (SimdPath path : kPaths) {
        const double batch = r.rate(std::string("HammingBatch/") + simdPathName(path));
        const double single = r.rate(std::string("HammingSingle/") + simdPathName(path));
        if (batch == 0.0) continue;
        std::printf("%-8s %16.3e %10.2f %16.3e %10.2f %12.2f\n", simdPathName(path), batch,
                    batch_scalar > 0 ? batch / batch_scalar : 0.0, single,
                    single_scalar > 0 ? single / single_scalar : 0.0, plain > 0 ? batch / plain : 0.0);
    }
    std::printf("graph of %zu nodes, active path %s\n", graphNodes(), simdPathName(activeSimdPath()));
    std::printf("\nsearchLayer at breadth 64 on random layers, time at 1M nodes / time at 100k nodes:\n");
    for (bool full_clear : {false, true}) {
        const double small = r.rate(randomLayerName(full_clear) + "/100000");
        const double large = r.rate(randomLayerName(full_clear) + "/1000000");
        if (small > 0 && large > 0)
            std::printf("  %-34s %.3f\n", full_clear ? "clearing the whole visited set:" : "clearing only what was set:",
                        small / large);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    registerAll();
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
