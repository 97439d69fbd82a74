// korvane eval: recall@k and queries/s across an ef_search sweep.
#include <algorithm>
#include <cstdio>

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
    "The index is built in memory from BASE unless --index names one built from\n"
    "the same BASE. Exact neighbours come from a brute-force inner-product search\n"
    "on all cores, or from --truth. Queries/s is measured with --threads threads.\n";

const std::vector<OptionRule> kOptions = {
    textRule("--index", "FILE", "evaluate this index file instead of building one"),
    textRule("--ids", "FILE", "ids of the BASE rows, as for 'build'", "row numbers"),
    textRule("--truth", "FILE", "exact neighbours as .ivecs (row numbers into BASE, best first, at least k per row)"),
    countRule("-k", "recall depth", 1, KORVANE_MAX_K, 10),
    countListRule("--ef", "comma-separated ef_search values (each at least k: a smaller one searches with k)", 1, kMaxEf, {16, 32, 64, 128, 256}),
    rerankRule("re-score factor, 0 = every candidate"),
    threadsRule("threads for building, ground truth and searching"),
    seedRule("seed of the index built in memory"),
    efConstructionRule(),
    storeRule("raw copies kept by the index built in memory"),
    flagRule("--csv", "print the table as CSV, and nothing else on stdout"),
};

struct EvalSetup {
    VectorSet base;
    VectorSet queries;
    std::vector<std::uint64_t> ids;
    std::uint64_t k = 0;
    std::uint64_t threads = 0;
    std::uint64_t rerank = 0;
    bool csv = false;
};

// Informational lines go to stdout in table mode and to stderr with --csv.
std::FILE* notes(const EvalSetup& setup) { return setup.csv ? stderr : stdout; }

IndexPtr indexFor(const Args& args, const EvalSetup& setup) {
    if (const std::optional<std::string> path = args.value("--index")) {
        IndexPtr index = loadIndex(*path);
        if (korvane_index_len(index.get()) != setup.base.count)
            std::fprintf(stderr, "korvane: note: the index holds %llu vectors, BASE %llu\n",
                         static_cast<unsigned long long>(korvane_index_len(index.get())),
                         static_cast<unsigned long long>(setup.base.count));
        return index;
    }
    IndexPtr index = createIndex(efConstructionOption(args), seedOption(args), storeOption(args));
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
    Neighbours rows = exactTopK(setup.base, setup.queries, setup.k, setup.threads);
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
    setup.rerank = rerankOption(args);
    storeOption(args);  // checked before the expensive steps
    const std::vector<std::uint64_t> efs = args.countList("--ef");
    setup.base = readVectors(args.positionals[0]);
    setup.queries = readVectors(args.positionals[1]);
    setup.ids = rowIds(setup.base.count);
    if (const std::optional<std::string> path = args.value("--ids")) {
        setup.ids = readIds(*path);
        checkIds(setup.ids, setup.base.count, *path);
    }

    // Every input is checked before the expensive steps.
    const std::optional<std::string> truth_path = args.value("--truth");
    Neighbours truth = truth_path ? rowsToIds(truthFromFile(*truth_path, setup), setup.ids)
                                  : Neighbours{};
    const IndexPtr index = indexFor(args, setup);
    if (!truth_path) truth = rowsToIds(bruteForceTruth(setup), setup.ids);
    const Table table = sweepTable(sweepEf(index.get(), setup.queries, truth, setup.k, efs, setup.threads, setup.rerank), setup.k);
    if (setup.csv) printCsv(stdout, table);
    else printTable(stdout, table);
    return kExitOk;
}

}  // namespace korvane::tool
