// Command-line parsing: options are declared up front, so an unknown option or
// a missing value is a usage error rather than something silently ignored.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane::tool {

struct OptionRule {
    std::string name;  // "--ef", "-k"
    bool takes_value;
};

struct Args {
    std::vector<std::string> positionals;
    std::map<std::string, std::string> values;  // options given with a value (last one wins)
    std::vector<std::string> flags;             // options given without a value

    bool has(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
};

// Parses argv[first..argc). "--help" and "-h" are always accepted as flags.
// Accepts "--name value" and "--name=value"; "--" ends the options.
Args parseArgs(int argc, char** argv, int first, const std::vector<OptionRule>& rules);

// Reads an unsigned integer option in [min, max], or `fallback` when absent.
std::uint64_t countOption(const Args& args, const std::string& name, std::uint64_t fallback,
                          std::uint64_t min, std::uint64_t max);

// Reads a comma-separated list of unsigned integers in [min, max].
std::vector<std::uint64_t> countListOption(const Args& args, const std::string& name,
                                           const std::vector<std::uint64_t>& fallback,
                                           std::uint64_t min, std::uint64_t max);

// Parses a whole string as a decimal unsigned 64-bit integer.
std::optional<std::uint64_t> parseU64(const std::string& text);

// Throws a usage error unless exactly `count` positionals were given.
void expectPositionals(const Args& args, std::size_t count, const std::string& usage);

}  // namespace korvane::tool
