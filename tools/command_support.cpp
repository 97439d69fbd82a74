#include "command_support.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <unordered_set>

#include "cli_error.h"
#include "library.h"
#include "parallel.h"

namespace korvane::tool {

bool parseOrHelp(const Words& words, const std::vector<OptionRule>& rules, const char* help,
                 Args& args) {
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    args = parseArgs(static_cast<int>(argv.size()), argv.data(), 0, rules);
    if (!args.has("--help")) return true;
    std::fputs(help, stdout);
    return false;
}

std::uint64_t threadsOption(const Args& args) {
    return countOption(args, "--threads", hardwareThreads(), 1, kMaxThreads);
}

std::uint64_t seedOption(const Args& args) {
    return countOption(args, "--seed", kDefaultSeed, 0, std::numeric_limits<std::uint64_t>::max());
}

std::uint64_t efConstructionOption(const Args& args) {
    return countOption(args, "--ef-construction", kDefaultEfConstruction, 1, kMaxEf);
}

std::vector<std::uint64_t> distinctIds(const std::vector<std::uint64_t>& ids, std::uint64_t* repeats) {
    std::unordered_set<std::uint64_t> seen;
    std::vector<std::uint64_t> distinct;
    for (std::uint64_t id : ids)
        if (seen.insert(id).second) distinct.push_back(id);
    if (repeats) *repeats = ids.size() - distinct.size();
    return distinct;
}

namespace {

struct StoreWord {
    const char* word;
    std::uint32_t store;
};
constexpr StoreWord kStoreWords[] = {
    {"int8", KORVANE_STORE_I8}, {"f32", KORVANE_STORE_F32}, {"none", KORVANE_STORE_NONE}};

}  // namespace

std::uint32_t storeOption(const Args& args) {
    const std::optional<std::string> word = args.value("--store");
    if (!word) return KORVANE_STORE_I8;
    for (const StoreWord& known : kStoreWords)
        if (*word == known.word) return known.store;
    throw UsageError("--store must be f32, int8 or none, not '" + *word + "'");
}

std::uint64_t rerankOption(const Args& args) {
    return countOption(args, "--rerank", kDefaultRerank, 0, std::numeric_limits<std::uint64_t>::max());
}

const char* storeName(std::uint32_t store) {
    for (const StoreWord& known : kStoreWords)
        if (store == known.store) return known.word;
    return "unknown";
}

void checkIds(const std::vector<std::uint64_t>& ids, std::uint64_t vector_count,
              const std::string& ids_path) {
    if (ids.size() != vector_count)
        throw Failure(ids_path + ": holds " + std::to_string(ids.size()) + " ids for " +
                      std::to_string(vector_count) + " vectors");
    std::vector<std::uint64_t> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
    if (repeat != sorted.end())
        throw Failure(ids_path + ": id " + std::to_string(*repeat) + " appears more than once");
}

}  // namespace korvane::tool
