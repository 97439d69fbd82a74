// korvane eval: recall@k and queries/s across an ef_search sweep.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "cli_error.h"
#include "command_support.h"
#include "evaluation.h"
#include "ground_truth.h"
#include "library.h"
#include "progress.h"
#include "stopwatch.h"
#include "table.h"
#include "vector_io.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane eval BASE QUERIES [options]\n"
    "\n"
    "Measures recall@k of searches for QUERIES among the vectors of BASE against\n"
    "the exact answer, and queries per second, for each ef_search of a sweep.\n"
    "The index is built in memory from BASE (by --metric) unless --index names one\n"
    "built from the same BASE; its dimension and size must match BASE's. Exact\n"
    "neighbours come from a brute-force search by the index's metric on all cores,\n"
    "or from --truth. Queries/s is measured with --threads threads.\n";

const std::vector<OptionRule> kOptions = {
    textRule("--index", "FILE", "evaluate this index file instead of building one"),
    textRule("--ids", "FILE", "ids of the BASE rows, as for 'build'", "row numbers"),
    dimRule("floats per vector of raw BASE and QUERIES files", "from a header or the index"),
    metricRule("ranking of the index built in memory: ip, cosine or l2 (with --index, if given, it must be the index's)"),
    textRule("--truth", "FILE", "exact neighbours as .ivecs (row numbers into BASE, best first, at least k per row)"),
    countRule("-k", "recall depth", 1, KORVANE_MAX_K, 10),
    countListRule("--ef", "comma-separated ef_search values (each at least k: a smaller one searches with k)", 1, kMaxEf, {16, 32, 64, 128, 256}),
    rerankRule("re-score factor, 0 = every candidate"),
    walkRule(),
    threadsRule("threads for building, ground truth and searching"),
    seedRule("seed of the index built in memory"),
    efConstructionRule(),
    storeRule("raw copies kept by the index built in memory"),
    flagRule("--csv", "print the table as CSV, and nothing else on stdout"),
};

struct EvalSetup {
    std::uint32_t metric = KORVANE_METRIC_IP;
    VectorSet base;
    VectorSet queries;
    std::vector<std::uint64_t> ids;
    std::uint64_t k = 0;
    std::uint64_t threads = 0;
    SearchChoice choice;
    bool csv = false;
};

// Informational lines go to stdout in table mode and to stderr with --csv.
std::FILE* notes(const EvalSetup& setup) { return setup.csv ? stderr : stdout; }

// The width BASE must have: an index file's, which --dim may only repeat,
// else --dim (needed only by raw files).
ExpectedDim baseWidth(const Args& args, const korvane_index* loaded, const std::string& index_path) {
    const std::uint64_t dim = dimOption(args);
    if (!loaded) return {dim, "--dim says"};
    const std::uint64_t index_dim = korvane_index_dim(loaded);
    if (dim && dim != index_dim)
        throw Failure(index_path + ": the index has " + std::to_string(index_dim) + " dimensions; --dim says " +
                      std::to_string(dim));
    return {index_dim, "the index has"};
}

// A file index that does not hold BASE would measure recall against the
// wrong answers, so every mismatch is an error.
void checkLoadedIndex(const Args& args, const korvane_index* index, const std::string& path,
                      const EvalSetup& setup) {
    if (korvane_index_len(index) != setup.base.count)
        throw Failure(path + ": the index holds " + std::to_string(korvane_index_len(index)) +
                      " vectors; BASE has " + std::to_string(setup.base.count));
    if (args.has("--metric") && setup.metric != korvane_index_metric(index))
        throw Failure(path + ": the index ranks by " + metricName(korvane_index_metric(index)) + "; --metric says " +
                      metricName(setup.metric));
}

IndexPtr indexFor(const Args& args, const EvalSetup& setup, IndexPtr loaded) {
    if (loaded) return loaded;
    IndexPtr index = createIndex(efConstructionOption(args), seedOption(args), storeOption(args), setup.base.dim,
                                 setup.metric);
    ProgressBar bar("building", setup.base.count);
    Stopwatch clock;
    addAll(index.get(), setup.ids, setup.base, setup.threads, [&](std::uint64_t n) { bar.update(n); });
    bar.finish();
    std::fprintf(notes(setup), "built the index: %llu vectors in %.2f s\n",
                 static_cast<unsigned long long>(setup.base.count), clock.seconds());
    return index;
}

// A row shorter than the recall depth would make the missing neighbours
// count as found.
Neighbours truthFromFile(const std::string& path, const EvalSetup& setup) {
    Neighbours rows = readIvecs(path);
    if (rows.size() != setup.queries.count)
        throw Failure(path + ": holds " + std::to_string(rows.size()) + " rows for " +
                      std::to_string(setup.queries.count) + " queries");
    const std::uint64_t needed = std::min(setup.k, setup.base.count);
    for (std::uint64_t q = 0; q < rows.size(); ++q)
        if (rows[q].size() < needed)
            throw Failure(path + ": row " + std::to_string(q) + " holds " + std::to_string(rows[q].size()) +
                          " neighbours; recall@" + std::to_string(setup.k) + " needs " +
                          std::to_string(needed));
    return rows;
}

Neighbours bruteForceTruth(const EvalSetup& setup) {
    Stopwatch clock;
    Neighbours rows = exactTopK(setup.base, setup.queries, setup.k, setup.threads, setup.metric);
    std::fprintf(notes(setup), "exact neighbours by brute force: %.2f s\n", clock.seconds());
    return rows;
}

Table sweepTable(const std::vector<SweepPoint>& points, std::uint64_t k) {
    Table table{{"ef_search", "recall@" + std::to_string(k), "queries/s"}, {}, false};
    for (const SweepPoint& p : points)
        table.rows.push_back(
            {std::to_string(p.ef_search), fixed(p.recall, 4), fixed(p.queries_per_second, 0)});
    return table;
}

}  // namespace

int runEval(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kAbout, args)) return kExitOk;
    expectPositionals(args, 2, "korvane eval BASE QUERIES [options]");
    EvalSetup setup;
    setup.k = args.count("-k");
    setup.threads = threadsOption(args);
    setup.csv = args.has("--csv");
    setup.choice = searchChoice(args);
    storeOption(args);  // checked before the expensive steps
    setup.metric = metricOption(args);
    const std::vector<std::uint64_t> efs = args.countList("--ef");
    const std::optional<std::string> index_path = args.value("--index");
    IndexPtr loaded = index_path ? loadIndex(*index_path) : IndexPtr{};
    setup.base = readVectors(args.positionals[0], baseWidth(args, loaded.get(), index_path.value_or("")));
    setup.queries = readVectors(args.positionals[1], {setup.base.dim, "BASE has"});
    if (loaded) {
        checkLoadedIndex(args, loaded.get(), *index_path, setup);
        setup.metric = korvane_index_metric(loaded.get());
    }
    setup.ids = rowIds(setup.base.count);
    if (const std::optional<std::string> path = args.value("--ids")) {
        setup.ids = readIds(*path);
        checkIds(setup.ids, setup.base.count, *path);
    }

    // Every input is checked before the expensive steps.
    const std::optional<std::string> truth_path = args.value("--truth");
    Neighbours truth = truth_path ? rowsToIds(truthFromFile(*truth_path, setup), setup.ids)
                                  : Neighbours{};
    const IndexPtr index = indexFor(args, setup, std::move(loaded));
    if (!truth_path) truth = rowsToIds(bruteForceTruth(setup), setup.ids);
    const Table table = sweepTable(sweepEf(index.get(), setup.queries, truth, setup.k, efs, setup.threads, setup.choice), setup.k);
    if (setup.csv) printCsv(stdout, table);
    else printTable(stdout, table);
    return kExitOk;
}

}  // namespace korvane::tool
