// The two ways a command can fail, each with its exit code: bad usage (2) and
// a failed operation (1). Commands throw them; main prints the one-line
// message and exits with the code.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `text` with control bytes (a NUL among them) written as \xNN, so that a
// message shows all of it on one line.
std::string printable(const std::string& text);

}  // namespace korvane::tool
