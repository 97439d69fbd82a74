// A scratch directory per test, the tool runner, and the library calls the
// tests use to produce the results the tool must reproduce.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korvane.h"
#include "test_files.h"
#include "tool_runner.h"

namespace tooltest {

struct IndexDeleter {
    void operator()(korvane_index* index) const { korvane_index_destroy(index); }
};
using IndexPtr = std::unique_ptr<korvane_index, IndexDeleter>;

struct BatchResults {
    std::uint64_t k = 0;
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
    std::vector<std::uint64_t> counts;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    RunResult run(const std::vector<std::string>& args) const { return runTool(args, dir_); }

    // Builds with the library (ids = row numbers unless given) and saves to `name`.
    IndexPtr buildWithLibrary(const Floats& vectors, std::uint64_t ef_construction,
                              std::uint64_t seed, const std::string& name,
                              std::vector<std::uint64_t> ids = {},
                              std::uint32_t store = KORVANE_STORE_I8) const;
    IndexPtr load(const std::string& name) const;
    static BatchResults search(const korvane_index* index, const Floats& queries, std::uint64_t k,
                               std::uint64_t ef, std::uint64_t rerank = 4,
                               std::uint32_t walk = KORVANE_WALK_SCORED);

private:
    std::string dir_;
};

std::vector<std::uint64_t> rowNumbers(std::uint64_t count);

}  // namespace tooltest
