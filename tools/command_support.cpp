#include "command_support.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <unordered_set>

#include "cli_error.h"
#include "library.h"
#include "parallel.h"

namespace korvane::tool {

bool parseOrHelp(const Words& words, const std::vector<OptionRule>& rules, const char* about,
                 Args& args) {
    args = parseArgs(words, rules);
    if (!args.has("--help")) return true;
    std::fputs(about, stdout);
    if (!rules.empty()) std::printf("\noptions:\n%s", optionsHelp(rules).c_str());
    return false;
}

OptionRule threadsRule(std::string help) {
    return countRuleComputed("--threads", std::move(help), 1, kMaxThreads, "all cores");
}

OptionRule seedRule(std::string help) {
    return countRule("--seed", std::move(help), 0, std::numeric_limits<std::uint64_t>::max(), kDefaultSeed);
}

OptionRule efConstructionRule() {
    return countRule("--ef-construction", "search breadth while inserting", 1, kMaxEf, kDefaultEfConstruction);
}

OptionRule storeRule(std::string help) {
    return textRule("--store", "f32|int8|none", std::move(help), "int8");
}

OptionRule rerankRule(std::string help) {
    return countRule("--rerank", std::move(help), 0, std::numeric_limits<std::uint64_t>::max(), kDefaultRerank);
}

OptionRule walkRule() {
    return textRule("--walk", "hamming|scored",
                    "how the base layer is walked: by routing-code distance, or by each vector's score "
                    "(more recall per ef_search; see the README's 'Choosing recall')",
                    "scored");
}

OptionRule metricRule(std::string help) {
    return textRule("--metric", "ip|cosine|l2", std::move(help), "ip");
}

OptionRule dimRule(std::string help, std::string fallback_text) {
    return countRuleComputed("--dim", std::move(help), 1, KORVANE_MAX_DIM, std::move(fallback_text));
}

std::uint64_t threadsOption(const Args& args) {
    return args.has("--threads") ? args.count("--threads") : hardwareThreads();
}

std::uint64_t seedOption(const Args& args) { return args.count("--seed"); }

std::uint64_t efConstructionOption(const Args& args) { return args.count("--ef-construction"); }

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
    return args.count("--rerank");
}

std::uint32_t walkOption(const Args& args) {
    const std::string word = args.value("--walk").value_or("scored");
    if (word == "hamming") return KORVANE_WALK_HAMMING;
    if (word == "scored") return KORVANE_WALK_SCORED;
    throw UsageError("--walk must be hamming or scored, not '" + word + "'");
}

SearchChoice searchChoice(const Args& args) { return SearchChoice{rerankOption(args), walkOption(args)}; }

const char* storeName(std::uint32_t store) {
    for (const StoreWord& known : kStoreWords)
        if (store == known.store) return known.word;
    return "unknown";
}

namespace {

struct MetricWord {
    const char* word;
    std::uint32_t metric;
    const char* score;
};
constexpr MetricWord kMetricWords[] = {
    {"ip", KORVANE_METRIC_IP, "inner product"},
    {"cosine", KORVANE_METRIC_COSINE, "cosine similarity"},
    {"l2", KORVANE_METRIC_L2, "minus the squared Euclidean distance"}};

}  // namespace

std::uint32_t metricOption(const Args& args) {
    const std::optional<std::string> word = args.value("--metric");
    if (!word) return KORVANE_METRIC_IP;
    for (const MetricWord& known : kMetricWords)
        if (*word == known.word) return known.metric;
    throw UsageError("--metric must be ip, cosine or l2, not '" + printable(*word) + "'");
}

const char* metricName(std::uint32_t metric) {
    for (const MetricWord& known : kMetricWords)
        if (metric == known.metric) return known.word;
    return "unknown";
}

const char* scoreMeaning(std::uint32_t metric) {
    for (const MetricWord& known : kMetricWords)
        if (metric == known.metric) return known.score;
    return "unknown";
}

std::uint64_t dimOption(const Args& args) { return args.has("--dim") ? args.count("--dim") : 0; }

void checkIds(const std::vector<std::uint64_t>& ids, std::uint64_t vector_count,
              const std::string& ids_path) {
    if (ids.size() != vector_count)
        throw Failure(ids_path + ": holds " + std::to_string(ids.size()) + " ids for " +
                      std::to_string(vector_count) + " vectors");
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (ids[i] == std::numeric_limits<std::uint64_t>::max())
            throw Failure(ids_path + ": the id at position " + std::to_string(i) +
                          " is 18446744073709551615, which search results use for a missing result");
    std::vector<std::uint64_t> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
    if (repeat != sorted.end())
        throw Failure(ids_path + ": id " + std::to_string(*repeat) + " appears more than once");
}

std::vector<OptionRule> outputRules() {
    return {textRule("--output", "FILE", "save to FILE instead of replacing INDEX"),
            textRule("-o", "FILE", "the same as --output")};
}

std::string outputPath(const Args& args, const std::string& index_path) {
    return args.value("--output").value_or(args.value("-o").value_or(index_path));
}

}  // namespace korvane::tool
