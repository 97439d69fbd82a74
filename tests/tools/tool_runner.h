// Runs the korvane binary as a user would and captures what it prints.
#pragma once

#include <string>
#include <vector>

namespace tooltest {

struct RunResult {
    int exit_code = -1;  // -1 when the program died from a signal
    std::string out;
    std::string err;
};

RunResult runTool(const std::vector<std::string>& args, const std::string& scratch_dir);

std::string readFile(const std::string& path);

}  // namespace tooltest
