// korvane compact: rebuild an index file over its live vectors.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "library.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane compact INDEX [options]\n"
    "\n"
    "Rebuilds INDEX over the vectors it still holds and saves it back (or to\n"
    "--output). Removed vectors keep their place in the graph and keep steering\n"
    "searches; after many removals a compacted index finds what is left at the\n"
    "usual ef_search again, and takes less memory. Ids and scores are kept; the\n"
    "result is the same on every machine.\n";

const std::vector<OptionRule> kOptions = outputRules();

using ull = unsigned long long;

}  // namespace

int runCompact(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kAbout, args)) return kExitOk;
    expectPositionals(args, 1, "korvane compact INDEX [options]");
    const std::string output = outputPath(args, args.positionals[0]);
    const IndexPtr index = loadIndex(args.positionals[0]);
    const std::uint64_t before = korvane_index_memory_bytes(index.get());
    if (korvane_index_compact(index.get()) != KORVANE_OK) throw Failure("out of memory while compacting; nothing was saved");
    saveIndex(index.get(), output);
    std::printf("compacted: %s holds %llu vectors; memory estimate %llu -> %llu bytes\n", output.c_str(),
                static_cast<ull>(korvane_index_len(index.get())), static_cast<ull>(before),
                static_cast<ull>(korvane_index_memory_bytes(index.get())));
    return kExitOk;
}

}  // namespace korvane::tool
