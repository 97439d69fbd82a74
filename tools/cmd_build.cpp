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
    "VECTORS is .fvecs, .npy (float32, shape (n, 256), C order) or, for any other\n"
    "name, raw little-endian float32 with 256 values per vector.\n";

const std::vector<OptionRule> kOptions = {
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
    IndexPtr index = createIndex(efConstructionOption(args), seedOption(args), storeOption(args));
    const VectorSet vectors = readVectors(args.positionals[0]);
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
