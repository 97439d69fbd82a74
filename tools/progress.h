// A progress bar on stderr, drawn only when stderr is a terminal so that logs
// and pipes stay clean.
#pragma once

#include <cstdint>
#include <string>

#include "stopwatch.h"

namespace korvane::tool {

class ProgressBar {
public:
    ProgressBar(std::string label, std::uint64_t total);
    void update(std::uint64_t done);
    void finish();  // clears the bar's line

private:
    std::string label_;
    std::uint64_t total_;
    bool enabled_;
    Stopwatch clock_;
};

}  // namespace korvane::tool
