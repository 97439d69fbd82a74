// The subcommands. Each takes the words after its name, returns an exit code
// and throws UsageError or Failure for the two kinds of error.
#pragma once

#include <string>
#include <vector>

#include "args.h"

namespace korvane::tool {

struct Command {
    const char* name;
    const char* summary;
    int (*run)(const Words& words);
};

int runDemo(const Words& words);
int runGenerate(const Words& words);
int runBuild(const Words& words);
int runSearch(const Words& words);
int runEval(const Words& words);
int runInfo(const Words& words);
int runRemove(const Words& words);
int runCompact(const Words& words);

const std::vector<Command>& commands();

}  // namespace korvane::tool
