// korvane generate: the built-in data set as vector files.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "dataset.h"
#include "parallel.h"
#include "vector_io.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane generate BASE QUERIES [options]\n"
    "\n"
    "Writes the demo's clustered data set: unit-length vectors (256-d unless --dim)\n"
    "around random centres, the same for the same seed on every machine. The format\n"
    "follows each file's name: .fvecs, .npy, or raw float32 for any other name.\n";

constexpr std::uint64_t kMaxCount = 1ull << 32;
const std::vector<OptionRule> kOptions = {
    countRule("--count", "base vectors", 1, kMaxCount, ClusteredSetup{}.base_count),
    countRule("--queries", "query vectors", 1, kMaxCount, ClusteredSetup{}.query_count),
    countRule("--clusters", "cluster centres", 1, kMaxCount, ClusteredSetup{}.clusters),
    seedRule("seed of the data set"),
    countRule("--dim", "floats per vector", 1, kMaxDim, kDim),
};

}  // namespace

int runGenerate(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kAbout, args)) return kExitOk;
    expectPositionals(args, 2, "korvane generate BASE QUERIES [options]");
    ClusteredSetup setup;
    setup.base_count = args.count("--count");
    setup.query_count = args.count("--queries");
    setup.clusters = args.count("--clusters");
    setup.seed = seedOption(args);
    setup.dim = args.count("--dim");
    const ClusteredData data = generateClustered(setup, hardwareThreads());
    writeVectors(args.positionals[0], data.base);
    writeVectors(args.positionals[1], data.queries);
    std::printf("wrote %llu vectors to %s and %llu to %s\n",
                static_cast<unsigned long long>(data.base.count), args.positionals[0].c_str(),
                static_cast<unsigned long long>(data.queries.count), args.positionals[1].c_str());
    return kExitOk;
}

}  // namespace korvane::tool
