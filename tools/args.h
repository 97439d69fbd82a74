// Command-line parsing against a table of the options a command accepts. An
// option's rule carries its help line, its range and its default, so the
// help a command prints and the values it uses come from the same entry; an
// unknown option or a missing value is a usage error rather than something
// silently ignored.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane::tool {

using Words = std::vector<std::string>;

enum class OptionKind { Flag, Count, CountList, Text };

struct OptionRule {
    std::string name;  // "--ef", "-k"
    OptionKind kind = OptionKind::Flag;
    std::string help;
    std::string value_name;  // as the help shows the value: "N", "LIST", "FILE"
    std::uint64_t min = 0;   // range of each number of a Count or CountList
    std::uint64_t max = 0;
    std::vector<std::uint64_t> fallback;  // default of a Count (one value) or a CountList
    std::string fallback_text;            // the default in words, where the command computes it
};

OptionRule flagRule(std::string name, std::string help);
OptionRule textRule(std::string name, std::string value_name, std::string help,
                    std::string fallback_text = "");
OptionRule countRule(std::string name, std::string help, std::uint64_t min, std::uint64_t max,
                     std::uint64_t fallback);
// A count without a fixed default: absent, the command decides (as `fallback_text` says).
OptionRule countRuleComputed(std::string name, std::string help, std::uint64_t min, std::uint64_t max,
                             std::string fallback_text);
OptionRule countListRule(std::string name, std::string help, std::uint64_t min, std::uint64_t max,
                         std::vector<std::uint64_t> fallback);

struct Args {
    std::vector<OptionRule> rules;
    std::vector<std::string> positionals;
    std::map<std::string, std::string> values;  // options given with a value (last one wins)
    std::vector<std::string> flags;             // options given without a value

    bool has(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
    // A Count option's value, checked against its rule's range, or its default.
    std::uint64_t count(const std::string& name) const;
    // A CountList option's comma-separated values, each checked, or its default.
    std::vector<std::uint64_t> countList(const std::string& name) const;
};

// Parses the words after a command's name. "--help" and "-h" are always
// accepted as flags. Accepts "--name value" and "--name=value"; "--" ends the
// options.
Args parseArgs(const Words& words, const std::vector<OptionRule>& rules);

// The lines of the help that describe the options, from their rules.
std::string optionsHelp(const std::vector<OptionRule>& rules);

// Parses a whole string as a decimal unsigned 64-bit integer.
std::optional<std::uint64_t> parseU64(const std::string& text);

// Throws a usage error unless exactly `count` positionals were given.
void expectPositionals(const Args& args, std::size_t count, const std::string& usage);

}  // namespace korvane::tool
