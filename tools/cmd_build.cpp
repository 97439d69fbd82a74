// korvane build: vectors from a file into a new index file.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "library.h"
#include "progress.h"
#include "stopwatch.h"
#include "vector_io.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane build VECTORS INDEX [options]\n"
    "\n"
    "Builds an index from VECTORS and saves it to INDEX (replaced if it exists).\n"
    "VECTORS is .fvecs, .npy (float32, shape (n, dim), C order), whose headers give\n"
    "the dimension (1 to 4096), or, for any other name, raw little-endian float32,\n"
    "which needs --dim. The index ranks by --metric; its file records both.\n";

const std::vector<OptionRule> kOptions = {
    dimRule("floats per vector: required for a raw file, checked against a .npy or .fvecs header",
            "the file's header"),
    metricRule("ranking: ip (inner product), cosine (cosine similarity) or l2 (Euclidean distance)"),
    textRule("--ids", "FILE", "ids of the vectors, in order: one decimal id per line, or a .npy of uint64",
             "the row numbers 0, 1, ..."),
    seedRule("seed of the index's random rotation"),
    efConstructionRule(),
    storeRule("raw copies kept for exact re-scoring: f32 gives exact scores and the highest recall at about 1 KB more per vector; none keeps only the estimates"),
    threadsRule("worker threads"),
};

std::vector<std::uint64_t> idsFor(const Args& args, std::uint64_t count) {
    const std::optional<std::string> path = args.value("--ids");
    if (!path) return rowIds(count);
    std::vector<std::uint64_t> ids = readIds(*path);
    checkIds(ids, count, *path);
    return ids;
}

}  // namespace

int runBuild(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kAbout, args)) return kExitOk;
    expectPositionals(args, 2, "korvane build VECTORS INDEX [options]");
    const std::uint64_t threads = threadsOption(args);
    const std::uint32_t metric = metricOption(args);
    const std::uint32_t store = storeOption(args);
    const VectorSet vectors = readVectors(args.positionals[0], {dimOption(args), "--dim says"});
    IndexPtr index = createIndex(efConstructionOption(args), seedOption(args), store, vectors.dim, metric);
    const std::vector<std::uint64_t> ids = idsFor(args, vectors.count);

    ProgressBar bar("building", vectors.count);
    Stopwatch clock;
    addAll(index.get(), ids, vectors, threads, [&](std::uint64_t done) { bar.update(done); });
    const double seconds = clock.seconds();
    bar.finish();
    saveIndex(index.get(), args.positionals[1]);
    std::printf("built %s: %llu vectors in %.2f s (%.0f vectors/s, %llu threads)\n",
                args.positionals[1].c_str(), static_cast<unsigned long long>(vectors.count),
                seconds, vectors.count / seconds, static_cast<unsigned long long>(threads));
    return kExitOk;
}

}  // namespace korvane::tool
