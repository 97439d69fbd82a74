// korvane remove: take ids out of an index file.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "library.h"
#include "vector_io.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane remove INDEX IDS [options]\n"
    "\n"
    "Removes the ids listed in IDS (one decimal id per line, or a .npy of uint64)\n"
    "from INDEX and saves it back (the file is replaced as a whole, so it is never\n"
    "left half written). Ids that are not in the index, and repeats of an id\n"
    "listed before, are counted and skipped.\n";

const std::vector<OptionRule> kOptions = outputRules();

using ull = unsigned long long;

}  // namespace

int runRemove(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kAbout, args)) return kExitOk;
    expectPositionals(args, 2, "korvane remove INDEX IDS [options]");
    const std::string output = outputPath(args, args.positionals[0]);
    const IndexPtr index = loadIndex(args.positionals[0]);
    std::uint64_t repeats = 0;
    const std::vector<std::uint64_t> ids = distinctIds(readIds(args.positionals[1]), &repeats);

    std::uint64_t removed = 0;
    for (std::uint64_t id : ids)
        if (korvane_index_remove(index.get(), id) == KORVANE_OK) ++removed;
    saveIndex(index.get(), output);
    std::printf("removed %llu ids (%llu not in the index", static_cast<ull>(removed),
                static_cast<ull>(ids.size() - removed));
    if (repeats) std::printf(", %llu listed again", static_cast<ull>(repeats));
    std::printf("); %s holds %llu vectors\n", output.c_str(), static_cast<ull>(korvane_index_len(index.get())));
    return kExitOk;
}

}  // namespace korvane::tool
