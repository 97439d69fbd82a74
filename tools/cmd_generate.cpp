// korvane generate: the built-in data set as vector files.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "dataset.h"
#include "parallel.h"
#include "vector_io.h"

namespace korvane::tool {

namespace {

const char* const kHelp =
    "usage: korvane generate BASE QUERIES [options]\n"
    "\n"
    "Writes the demo's clustered data set: unit-length 256-d vectors around random\n"
    "centres, the same for the same seed on every machine. The format follows each\n"
    "file's name: .fvecs, .npy, or raw float32 for any other name.\n"
    "\n"
    "options:\n"
    "  --count N       base vectors (default 100000)\n"
    "  --queries N     query vectors (default 1000)\n"
    "  --clusters N    cluster centres (default 256)\n"
    "  --seed N        (default 1)\n";

const std::vector<OptionRule> kOptions = {
    {"--count", true}, {"--queries", true}, {"--clusters", true}, {"--seed", true}};

constexpr std::uint64_t kMaxCount = 1ull << 32;

}  // namespace

int runGenerate(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kHelp, args)) return kExitOk;
    expectPositionals(args, 2, "korvane generate BASE QUERIES [options]");
    ClusteredSetup setup;
    setup.base_count = countOption(args, "--count", setup.base_count, 1, kMaxCount);
    setup.query_count = countOption(args, "--queries", setup.query_count, 1, kMaxCount);
    setup.clusters = countOption(args, "--clusters", setup.clusters, 1, kMaxCount);
    setup.seed = seedOption(args);
    const ClusteredData data = generateClustered(setup, hardwareThreads());
    writeVectors(args.positionals[0], data.base);
    writeVectors(args.positionals[1], data.queries);
    std::printf("wrote %llu vectors to %s and %llu to %s\n",
                static_cast<unsigned long long>(data.base.count), args.positionals[0].c_str(),
                static_cast<unsigned long long>(data.queries.count), args.positionals[1].c_str());
    return kExitOk;
}

}  // namespace korvane::tool
