// korvane search: queries from a file against an index file.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "library.h"
#include "result_output.h"
#include "vector_io.h"

namespace korvane::tool {

namespace {

const char* const kHelp =
    "usage: korvane search INDEX QUERIES [options]\n"
    "\n"
    "Finds the k best matches (largest inner product) of every vector in QUERIES\n"
    "(.fvecs, .npy or raw float32, as for 'build') and prints them as TSV lines\n"
    "'query rank id score' (query = row number from 0, rank from 1 = best).\n"
    "\n"
    "options:\n"
    "  -k N              results per query, 1 to 256 (default 10)\n"
    "  --ef N            search breadth ef_search (default 64)\n"
    "  --rerank N        re-score exactly the best N x k estimates (default 4;\n"
    "                    0 = every candidate: slower, higher recall)\n"
    "  --threads N       worker threads (default: all cores)\n"
    "  --filter FILE     search only among the ids listed in FILE (exact, no graph walk;\n"
    "                    an id listed more than once counts once)\n"
    "  --json            print one JSON object per query instead of TSV\n";

const std::vector<OptionRule> kOptions = {
    {"-k", true}, {"--ef", true}, {"--rerank", true}, {"--threads", true}, {"--filter", true}, {"--json", false}};

}  // namespace

int runSearch(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kHelp, args)) return kExitOk;
    expectPositionals(args, 2, "korvane search INDEX QUERIES [options]");
    const std::uint64_t k = countOption(args, "-k", 10, 1, KORVANE_MAX_K);
    const std::uint64_t ef = countOption(args, "--ef", 64, 1, kMaxEf);
    const std::uint64_t rerank = rerankOption(args);
    const std::uint64_t threads = threadsOption(args);
    const IndexPtr index = loadIndex(args.positionals[0]);
    const VectorSet queries = readVectors(args.positionals[1]);

    const std::optional<std::string> filter = args.value("--filter");
    const SearchResults results =
        filter ? searchAllFiltered(index.get(), queries, distinctIds(readIds(*filter)), k, threads)
               : searchAll(index.get(), queries, k, ef, threads, rerank);
    if (args.has("--json")) writeJsonLines(stdout, results);
    else writeTsv(stdout, results);
    return kExitOk;
}

}  // namespace korvane::tool
