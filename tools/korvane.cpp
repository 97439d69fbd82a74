// korvane: command-line front end over the public C interface.
#include <cstdio>
#include <new>
#include <string>

#include "cli_error.h"
#include "commands.h"

namespace korvane::tool {

namespace {

void printUsage(std::FILE* out) {
    std::fputs("usage: korvane <command> [options]   (no command runs the demo)\n\ncommands:\n", out);
    for (const Command& command : commands())
        std::fprintf(out, "  %-9s %s\n", command.name, command.summary);
    std::fputs("\n'korvane <command> --help' describes a command and its options.\n"
               "Exit codes: 0 success, 1 the operation failed, 2 bad usage.\n",
               out);
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands())
        if (name == command.name) return &command;
    return nullptr;
}

int dispatch(const Words& words) {
    if (words.empty()) return runDemo({});
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        printUsage(stdout);
        return kExitOk;
    }
    const Command* command = findCommand(words[0]);
    if (!command) throw UsageError("unknown command '" + words[0] + "' (try 'korvane --help')");
    return command->run(Words(words.begin() + 1, words.end()));
}

int fail(const char* message, int code) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvane: %s\n", message);
    return code;
}

}  // namespace

}  // namespace korvane::tool

int main(int argc, char** argv) {
    using namespace korvane::tool;
    try {
        const int code = dispatch(Words(argv + 1, argv + argc));
        if (std::fflush(stdout) != 0) return fail("cannot write the output", kExitFailed);
        return code;
    } catch (const UsageError& error) {
        return fail(error.what(), kExitUsage);
    } catch (const Failure& error) {
        return fail(error.what(), kExitFailed);
    } catch (const std::bad_alloc&) {
        return fail("out of memory", kExitFailed);
    }
}
