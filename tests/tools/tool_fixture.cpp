#include "tool_fixture.h"

#include <cstdlib>
#include <filesystem>

namespace tooltest {

void ToolTest::SetUp() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/korvane-tool-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
}

void ToolTest::TearDown() { std::filesystem::remove_all(dir_); }

IndexPtr ToolTest::buildWithLibrary(const Floats& vectors, std::uint64_t ef_construction,
                                    std::uint64_t seed, const std::string& name,
                                    std::vector<std::uint64_t> ids, std::uint32_t store) const {
    const std::uint64_t count = vectors.size() / kDim;
    if (ids.empty()) ids = rowNumbers(count);
    IndexPtr index(korvane_index_create_with_store(ef_construction, seed, store));
    EXPECT_EQ(korvane_index_add_batch(index.get(), ids.data(), vectors.data(), count, 1), 0);
    EXPECT_EQ(korvane_index_save(index.get(), path(name).c_str()), 0);
    return index;
}

IndexPtr ToolTest::load(const std::string& name) const {
    return IndexPtr(korvane_index_load(path(name).c_str()));
}

BatchResults ToolTest::search(const korvane_index* index, const Floats& queries, std::uint64_t k,
                              std::uint64_t ef, std::uint64_t rerank, std::uint32_t walk) {
    const std::uint64_t n = queries.size() / korvane_index_dim(index);
    BatchResults results{k, std::vector<std::uint64_t>(n * k), std::vector<float>(n * k),
                         std::vector<std::uint64_t>(n)};
    EXPECT_EQ(korvane_search_batch_walk(index, queries.data(), n, k, ef, rerank, walk, 1, results.ids.data(),
                                        results.scores.data(), results.counts.data()),
              0);
    return results;
}

std::vector<std::uint64_t> rowNumbers(std::uint64_t count) {
    std::vector<std::uint64_t> ids(count);
    for (std::uint64_t i = 0; i < count; ++i) ids[i] = i;
    return ids;
}

}  // namespace tooltest
