#include "args.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "cli_error.h"

namespace korvane::tool {

namespace {

constexpr std::size_t kHelpColumn = 24;
constexpr std::size_t kHelpWidth = 80;

// Words of `text` on lines of at most kHelpWidth, the first after `left`
// (padded to kHelpColumn), the others indented to it.
std::string wrapped(const std::string& left, const std::string& text) {
    std::string out;
    std::string line = left;
    if (line.size() + 2 > kHelpColumn) {  // a long name gets a line of its own
        out = line + "\n";
        line.clear();
    }
    line.resize(kHelpColumn, ' ');
    std::size_t start = 0;
    bool first_word = true;
    while (start < text.size()) {
        const std::size_t space = text.find(' ', start);
        const std::string word = text.substr(start, space - start);
        if (!first_word && line.size() + 1 + word.size() > kHelpWidth) {
            out += line + "\n";
            line = std::string(kHelpColumn, ' ') + word;
        } else {
            line += (first_word ? "" : " ") + word;
        }
        first_word = false;
        if (space == std::string::npos) break;
        start = space + 1;
    }
    return out + line + "\n";
}

const OptionRule* findRule(const std::vector<OptionRule>& rules, const std::string& name) {
    for (const OptionRule& option : rules)
        if (option.name == name) return &option;
    return nullptr;
}

// The rule of an option a command reads: asking for one it never declared is
// a mistake in the tool, not in the command line.
const OptionRule& ruleOf(const Args& args, const std::string& name, OptionKind kind) {
    const OptionRule* rule = findRule(args.rules, name);
    if (!rule || rule->kind != kind) throw std::logic_error("option " + name + " is not declared as read");
    return *rule;
}

bool isHelp(const std::string& word) { return word == "--help" || word == "-h"; }

bool looksLikeOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

// Handles one option word; returns how many following words it consumed.
int takeOption(Args& args, const std::string& word, const std::string* next) {
    const std::size_t eq = word.find('=');
    const std::string name = word.substr(0, eq);
    if (isHelp(name)) {
        args.flags.push_back("--help");
        return 0;
    }
    const OptionRule* option = findRule(args.rules, name);
    if (!option) throw UsageError("unknown option " + name);
    if (option->kind == OptionKind::Flag) {
        if (eq != std::string::npos) throw UsageError("option " + name + " takes no value");
        args.flags.push_back(name);
        return 0;
    }
    if (eq != std::string::npos) {
        args.values[name] = word.substr(eq + 1);
        return 0;
    }
    if (!next) throw UsageError("option " + name + " needs a value");
    args.values[name] = *next;
    return 1;
}

std::string rangeText(std::uint64_t min, std::uint64_t max) {
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

std::uint64_t checkedCount(const OptionRule& rule, const std::string& text) {
    const std::optional<std::uint64_t> value = parseU64(text);
    if (!value || *value < rule.min || *value > rule.max)
        throw UsageError(rule.name + " must be " + rangeText(rule.min, rule.max) + ", not '" + text + "'");
    return *value;
}

std::string listText(const std::vector<std::uint64_t>& values) {
    std::string text;
    for (std::uint64_t value : values) {
        if (!text.empty()) text += ',';
        text += std::to_string(value);
    }
    return text;
}

// "(1 to 256, default 10)": the range where it limits anything, and the default.
std::string defaultText(const OptionRule& rule) {
    std::string text;
    const bool numeric = rule.kind == OptionKind::Count || rule.kind == OptionKind::CountList;
    if (numeric && rule.max != std::numeric_limits<std::uint64_t>::max())
        text = std::to_string(rule.min) + " to " + std::to_string(rule.max);
    const std::string fallback =
        !rule.fallback_text.empty() ? "default: " + rule.fallback_text : "default " + listText(rule.fallback);
    if (!rule.fallback_text.empty() || !rule.fallback.empty()) text += (text.empty() ? "" : ", ") + fallback;
    return text.empty() ? "" : " (" + text + ")";
}

}  // namespace

OptionRule flagRule(std::string name, std::string help) {
    return {std::move(name), OptionKind::Flag, std::move(help), "", 0, 0, {}, ""};
}

OptionRule textRule(std::string name, std::string value_name, std::string help, std::string fallback_text) {
    return {std::move(name), OptionKind::Text, std::move(help), std::move(value_name), 0, 0, {},
            std::move(fallback_text)};
}

OptionRule countRule(std::string name, std::string help, std::uint64_t min, std::uint64_t max,
                     std::uint64_t fallback) {
    return {std::move(name), OptionKind::Count, std::move(help), "N", min, max, {fallback}, ""};
}

OptionRule countRuleComputed(std::string name, std::string help, std::uint64_t min, std::uint64_t max,
                             std::string fallback_text) {
    return {std::move(name), OptionKind::Count, std::move(help), "N", min, max, {}, std::move(fallback_text)};
}

OptionRule countListRule(std::string name, std::string help, std::uint64_t min, std::uint64_t max,
                         std::vector<std::uint64_t> fallback) {
    return {std::move(name), OptionKind::CountList, std::move(help), "LIST", min, max, std::move(fallback), ""};
}

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

std::uint64_t Args::count(const std::string& name) const {
    const OptionRule& rule = ruleOf(*this, name, OptionKind::Count);
    const std::optional<std::string> text = value(name);
    if (text) return checkedCount(rule, *text);
    if (rule.fallback.empty()) throw std::logic_error("option " + name + " has no default");
    return rule.fallback[0];
}

std::vector<std::uint64_t> Args::countList(const std::string& name) const {
    const OptionRule& rule = ruleOf(*this, name, OptionKind::CountList);
    const std::optional<std::string> text = value(name);
    if (!text) return rule.fallback;
    std::vector<std::uint64_t> list;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text->find(',', start);
        list.push_back(checkedCount(rule, text->substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return list;
}

Args parseArgs(const Words& words, const std::vector<OptionRule>& rules) {
    Args args;
    args.rules = rules;
    bool options_done = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (!options_done && word == "--") {
            options_done = true;
        } else if (!options_done && looksLikeOption(word)) {
            i += takeOption(args, word, i + 1 < words.size() ? &words[i + 1] : nullptr);
        } else {
            args.positionals.push_back(word);
        }
    }
    return args;
}

std::string optionsHelp(const std::vector<OptionRule>& rules) {
    std::string text;
    for (const OptionRule& rule : rules) {
        const std::string left = "  " + rule.name + (rule.value_name.empty() ? "" : " " + rule.value_name);
        text += wrapped(left, rule.help + defaultText(rule));
    }
    return text;
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

void expectPositionals(const Args& args, std::size_t count, const std::string& usage) {
    if (args.positionals.size() < count) throw UsageError("missing arguments; usage: " + usage);
    if (args.positionals.size() > count)
        throw UsageError("unexpected argument '" + args.positionals[count] + "'; usage: " + usage);
}

}  // namespace korvane::tool
