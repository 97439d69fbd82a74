// Pieces shared by several subcommands: option parsing with help, the common
// options, and checks on ids.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "library.h"

namespace korvane::tool {

constexpr std::uint64_t kMaxThreads = 1024;
constexpr std::uint64_t kMaxEf = 1u << 20;
constexpr std::uint64_t kDefaultEfConstruction = 200;
constexpr std::uint64_t kDefaultSeed = 0;  // as in the Python package

// Parses the words; prints `about` and the options' help and returns false
// when help was asked for.
bool parseOrHelp(const Words& words, const std::vector<OptionRule>& rules, const char* about,
                 Args& args);

// The options several commands share.
OptionRule threadsRule(std::string help);
OptionRule seedRule(std::string help);
OptionRule efConstructionRule();
OptionRule storeRule(std::string help);
OptionRule rerankRule(std::string help);
OptionRule walkRule();
OptionRule metricRule(std::string help);
OptionRule dimRule(std::string help, std::string fallback_text);
// --output FILE and its short form -o, for commands that rewrite an index
// file; outputPath is FILE, or the index file itself when not given.
std::vector<OptionRule> outputRules();
std::string outputPath(const Args& args, const std::string& index_path);

std::uint64_t threadsOption(const Args& args);
std::uint64_t seedOption(const Args& args);
std::uint64_t efConstructionOption(const Args& args);
// --store f32|int8|none as a KORVANE_STORE_ value (default int8).
std::uint32_t storeOption(const Args& args);
// --rerank N: the re-score factor, 0 for every candidate (default 4).
std::uint64_t rerankOption(const Args& args);
// --walk hamming|scored as a KORVANE_WALK_ value, and the two options as a
// search choice.
std::uint32_t walkOption(const Args& args);
SearchChoice searchChoice(const Args& args);
// The --store word of a store value.
const char* storeName(std::uint32_t store);
// --metric ip|cosine|l2 as a KORVANE_METRIC_ value (default ip).
std::uint32_t metricOption(const Args& args);
// The --metric word of a metric value, and what its scores are.
const char* metricName(std::uint32_t metric);
const char* scoreMeaning(std::uint32_t metric);
// --dim N, or 0 when not given.
std::uint64_t dimOption(const Args& args);

// The ids in their first-listed order, each once; `repeats` (when given)
// counts the entries dropped.
std::vector<std::uint64_t> distinctIds(const std::vector<std::uint64_t>& ids,
                                       std::uint64_t* repeats = nullptr);

// Throws Failure naming a repeated id, the reserved id 2**64 - 1 (it marks
// missing results), or a count that does not match.
void checkIds(const std::vector<std::uint64_t>& ids, std::uint64_t vector_count,
              const std::string& ids_path);

}  // namespace korvane::tool
