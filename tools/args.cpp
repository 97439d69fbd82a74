#include "args.h"

#include <cerrno>
#include <cstdlib>

#include "cli_error.h"

namespace korvane::tool {

namespace {

const OptionRule* findRule(const std::vector<OptionRule>& rules, const std::string& name) {
    for (const OptionRule& option : rules)
        if (option.name == name) return &option;
    return nullptr;
}

bool isHelp(const std::string& word) { return word == "--help" || word == "-h"; }

bool looksLikeOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

// Handles one option word; returns how many extra argv entries it consumed.
int takeOption(Args& args, const std::vector<OptionRule>& rules, const std::string& word,
               const char* next) {
    const std::size_t eq = word.find('=');
    const std::string name = word.substr(0, eq);
    if (isHelp(name)) {
        args.flags.push_back("--help");
        return 0;
    }
    const OptionRule* option = findRule(rules, name);
    if (!option) throw UsageError("unknown option " + name);
    if (!option->takes_value) {
        if (eq != std::string::npos) throw UsageError("option " + name + " takes no value");
        args.flags.push_back(name);
        return 0;
    }
    if (eq != std::string::npos) {
        args.values[name] = word.substr(eq + 1);
        return 0;
    }
    if (!next) throw UsageError("option " + name + " needs a value");
    args.values[name] = next;
    return 1;
}

std::string rangeText(std::uint64_t min, std::uint64_t max) {
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

std::uint64_t checkedCount(const std::string& name, const std::string& text, std::uint64_t min,
                           std::uint64_t max) {
    const std::optional<std::uint64_t> value = parseU64(text);
    if (!value || *value < min || *value > max)
        throw UsageError(name + " must be " + rangeText(min, max) + ", not '" + text + "'");
    return *value;
}

}  // namespace

bool Args::has(const std::string& name) const {
    for (const std::string& flag : flags)
        if (flag == name) return true;
    return values.count(name) != 0;
}

std::optional<std::string> Args::value(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

Args parseArgs(int argc, char** argv, int first, const std::vector<OptionRule>& rules) {
    Args args;
    bool options_done = false;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (!options_done && word == "--") {
            options_done = true;
        } else if (!options_done && looksLikeOption(word)) {
            i += takeOption(args, rules, word, i + 1 < argc ? argv[i + 1] : nullptr);
        } else {
            args.positionals.push_back(word);
        }
    }
    return args;
}

std::optional<std::uint64_t> parseU64(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0') return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

std::uint64_t countOption(const Args& args, const std::string& name, std::uint64_t fallback,
                          std::uint64_t min, std::uint64_t max) {
    const std::optional<std::string> text = args.value(name);
    if (!text) return fallback;
    return checkedCount(name, *text, min, max);
}

std::vector<std::uint64_t> countListOption(const Args& args, const std::string& name,
                                           const std::vector<std::uint64_t>& fallback,
                                           std::uint64_t min, std::uint64_t max) {
    const std::optional<std::string> text = args.value(name);
    if (!text) return fallback;
    std::vector<std::uint64_t> list;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text->find(',', start);
        list.push_back(checkedCount(name, text->substr(start, comma - start), min, max));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return list;
}

void expectPositionals(const Args& args, std::size_t count, const std::string& usage) {
    if (args.positionals.size() < count) throw UsageError("missing arguments; usage: " + usage);
    if (args.positionals.size() > count)
        throw UsageError("unexpected argument '" + args.positionals[count] + "'; usage: " + usage);
}

}  // namespace korvane::tool
