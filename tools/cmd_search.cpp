// korvane search: queries from a file against an index file.
#include <cstdio>

#include "cli_error.h"
#include "command_support.h"
#include "library.h"
#include "result_output.h"
#include "vector_io.h"

namespace korvane::tool {

namespace {

const char* const kAbout =
    "usage: korvane search INDEX QUERIES [options]\n"
    "\n"
    "Finds the k best matches of every vector in QUERIES (.fvecs, .npy or raw\n"
    "float32 of the index's dimension) and prints them as TSV lines 'query rank id\n"
    "score' (query = row number from 0, rank from 1 = best). Scores are the\n"
    "library's, larger is better, by the metric the index was built with:\n"
    "  ip      the inner product\n"
    "  cosine  the cosine similarity, from -1 to 1\n"
    "  l2      minus the squared Euclidean distance (0 for an exact match)\n";

const std::vector<OptionRule> kOptions = {
    countRule("-k", "results per query", 1, KORVANE_MAX_K, 10),
    countRule("--ef", "search breadth ef_search (at least k: a smaller value searches with k)", 1, kMaxEf, 64),
    rerankRule("re-score exactly the best N x k estimates; 0 = every candidate: slower, higher recall"),
    walkRule(),
    threadsRule("worker threads"),
    textRule("--filter", "FILE", "search only among the ids listed in FILE (exact, no graph walk; an id listed more than once counts once)"),
    flagRule("--json", "print one JSON object per query instead of TSV"),
};

}  // namespace

int runSearch(const Words& words) {
    Args args;
    if (!parseOrHelp(words, kOptions, kAbout, args)) return kExitOk;
    expectPositionals(args, 2, "korvane search INDEX QUERIES [options]");
    const std::uint64_t k = args.count("-k");
    const std::uint64_t ef = args.count("--ef");
    const SearchChoice choice = searchChoice(args);
    const std::uint64_t threads = threadsOption(args);
    const IndexPtr index = loadIndex(args.positionals[0]);
    const VectorSet queries =
        readVectors(args.positionals[1], {korvane_index_dim(index.get()), "the index has"});

    const std::optional<std::string> filter = args.value("--filter");
    const SearchResults results =
        filter ? searchAllFiltered(index.get(), queries, distinctIds(readIds(*filter)), k, threads)
               : searchAll(index.get(), queries, k, ef, threads, choice);
    if (args.has("--json")) writeJsonLines(stdout, results);
    else writeTsv(stdout, results);
    return kExitOk;
}

}  // namespace korvane::tool
