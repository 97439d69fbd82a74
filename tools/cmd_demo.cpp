// korvane demo: the whole life of an index on a built-in data set, with the
// figures a user wants first: build rate, recall, queries/s, size.
#include <sys/stat.h>

#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "dataset.h"
#include "evaluation.h"
#include "ground_truth.h"
#include "library.h"
#include "parallel.h"
#include "progress.h"
#include "stopwatch.h"
#include "table.h"
#include "temp_dir.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane demo [options]      (also: korvane with no arguments)\n"
    "\n"
    "Generates a clustered data set, builds an index on all cores, saves it and\n"
    "loads it back (in a temporary directory), computes exact neighbours by brute\n"
    "force and prints recall@10 and queries/s for a few ef_search values. Then\n"
    "builds the same data with float32 copies and re-scores every candidate, the\n"
    "other end of the trade between memory, speed and recall.\n";

const std::vector<OptionRule> kOptions = {
    countRule("--count", "base vectors", 1, 1ull << 28, ClusteredSetup{}.base_count),
    countRule("--queries", "queries", 1, 1ull << 24, ClusteredSetup{}.query_count),
    seedRule("data and index seed"),
    countRule("--dim", "floats per vector of the data set", 1, kMaxDim, kDim),
    metricRule("ranking: ip (inner product), cosine (cosine similarity) or l2 (Euclidean distance)"),
    efConstructionRule(),
    walkRule(),
    threadsRule("worker threads"),
};

const std::vector<std::uint64_t> kEfSweep = {16, 32, 64, 128, 256, 512};
constexpr std::uint64_t kK = 10;

using ull = unsigned long long;

void step(const char* what, double seconds, const std::string& detail) {
    std::printf("  %-20s %7.2f s%s%s\n", what, seconds, detail.empty() ? "" : "   ", detail.c_str());
    std::fflush(stdout);
}

void note(const char* what, const std::string& detail) {
    std::printf("  %-20s %s\n", what, detail.c_str());
}

IndexPtr buildTimed(const ClusteredData& data, const Args& args, std::uint64_t seed,
                    std::uint64_t threads, std::uint32_t store = KORVANE_STORE_I8) {
    IndexPtr index = createIndex(efConstructionOption(args), seed, store, data.base.dim, metricOption(args));
    ProgressBar bar("building", data.base.count);
    Stopwatch clock;
    addAll(index.get(), rowIds(data.base.count), data.base, threads,
           [&](std::uint64_t done) { bar.update(done); });
    const double seconds = clock.seconds();
    bar.finish();
    step("build (add_batch)", seconds, grouped(static_cast<std::uint64_t>(data.base.count / seconds)) +
                                           " vectors/s");
    return index;
}

const char* exactName(std::uint32_t metric) {
    return metric == KORVANE_METRIC_L2 ? "Euclidean distance" : scoreMeaning(metric);
}

std::uint64_t fileBytes(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

IndexPtr saveAndReload(const korvane_index* built, std::uint64_t count) {
    TempDir dir;
    const std::string path = dir.file("demo.kvx");
    Stopwatch clock;
    saveIndex(built, path);
    IndexPtr loaded = loadIndex(path);
    const std::uint64_t bytes = fileBytes(path);
    step("save + load", clock.seconds(),
         "file " + grouped(bytes) + " bytes (" + grouped(bytes / count) + " per vector)");
    if (korvane_index_len(loaded.get()) != korvane_index_len(built))
        throw Failure("the reloaded index does not hold the vectors that were saved");
    return loaded;
}

void checkSameAnswers(const korvane_index* a, const korvane_index* b, const VectorSet& queries,
                      std::uint64_t threads) {
    const SearchResults first = searchAll(a, queries, kK, 64, threads);
    const SearchResults second = searchAll(b, queries, kK, 64, threads);
    const bool same = first.ids == second.ids && first.scores == second.scores &&
                      first.counts == second.counts;
    note("reloaded index", same ? "answers exactly as the built one" : "DIFFERS");
    if (!same) throw Failure("the reloaded index answers differently from the one saved");
}

void printSweep(const korvane_index* index, const ClusteredData& data, const Neighbours& truth,
                std::uint64_t threads, SearchChoice choice) {
    const auto single = sweepEf(index, data.queries, truth, kK, kEfSweep, 1, choice);
    const auto multi = sweepEf(index, data.queries, truth, kK, kEfSweep, threads, choice);
    Table table{{"ef_search", "recall@10", "queries/s (1 thread)",
                 "queries/s (" + std::to_string(threads) + " threads)"}, {}, false};
    for (std::size_t i = 0; i < kEfSweep.size(); ++i)
        table.rows.push_back({std::to_string(kEfSweep[i]), fixed(single[i].recall, 4),
                              grouped(static_cast<std::uint64_t>(single[i].queries_per_second)),
                              grouped(static_cast<std::uint64_t>(multi[i].queries_per_second))});
    std::printf("\n");
    printTable(stdout, table);
}

// The same data with exact float copies and every candidate re-scored.
void printFloatStoreSweep(const ClusteredData& data, const Neighbours& truth, const Args& args,
                          const ClusteredSetup& setup, std::uint64_t threads, std::uint32_t walk) {
    std::printf("\nfloat32 copies, every candidate re-scored (build --store f32, search --rerank 0):\n\n");
    const IndexPtr index = buildTimed(data, args, setup.seed, threads, KORVANE_STORE_F32);
    note("memory estimate", grouped(korvane_index_memory_bytes(index.get()) / setup.base_count) +
                                   " bytes per vector");
    printSweep(index.get(), data, truth, threads, SearchChoice{0, walk});
}

}  // namespace

int runDemo(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kAbout, args)) return kExitOk;
    expectPositionals(args, 0, "korvane demo [options]");
    ClusteredSetup setup;
    setup.base_count = args.count("--count");
    setup.query_count = args.count("--queries");
    setup.seed = seedOption(args);
    setup.dim = args.count("--dim");
    const std::uint32_t metric = metricOption(args);
    const std::uint32_t walk = walkOption(args);
    const std::uint64_t threads = threadsOption(args);
    // The ranking is named only when it is not the default, so the first
    // line a new user sees stays as it was.
    const std::string ranking = metric == KORVANE_METRIC_IP ? "" : std::string(", ranked by ") + exactName(metric);
    std::printf("korvane demo: %s clustered %llu-d vectors%s, %s queries, seed %llu, %llu threads\n\n",
                grouped(setup.base_count).c_str(), static_cast<ull>(setup.dim), ranking.c_str(),
                grouped(setup.query_count).c_str(), static_cast<ull>(setup.seed), static_cast<ull>(threads));
    Stopwatch total;

    Stopwatch clock;
    const ClusteredData data = generateClustered(setup, threads);
    step("generate data", clock.seconds(), "");
    const IndexPtr built = buildTimed(data, args, setup.seed, threads);
    const IndexPtr index = saveAndReload(built.get(), setup.base_count);
    note("memory estimate", grouped(korvane_index_memory_bytes(index.get()) / setup.base_count) +
                                   " bytes per vector");
    checkSameAnswers(built.get(), index.get(), data.queries, threads);
    clock = Stopwatch();
    const Neighbours truth = exactTopK(data.base, data.queries, kK, threads, metric);
    step("exact neighbours", clock.seconds(), std::string("brute-force ") + exactName(metric) + " on " +
                                                  std::to_string(threads) + " threads");
    printSweep(index.get(), data, truth, threads, SearchChoice{kDefaultRerank, walk});
    printFloatStoreSweep(data, truth, args, setup, threads, walk);
    std::printf("\ntotal %.1f s\n", total.seconds());
    return kExitOk;
}

}  // namespace korvane::tool
