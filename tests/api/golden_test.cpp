// Golden outputs: fixed inputs must give the very same file bytes and search
// results in every later version. The recorded hashes change only with an
// intended change of the file format or of the results.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "korvane.h"
#include "support/test_support.h"

namespace korvane::testing {
namespace {

constexpr std::uint64_t kCount = 5000;
constexpr std::uint64_t kSeed = 20261208;
constexpr char kSingleFileHash[] = "9c869e2d8f124d7fe80fa4b6253847abc3c2de18e5862b8e8f7a185c764a0c16";
constexpr char kBatchFileHash[] = "c422999378cd9600dada58e78c59226992a25f0af84c623c0b1ea21137eb8710";
constexpr char kResultHash[] =
    "8044b4645251bb18a004ca66e544ddbab4b15080c24e42f06803c94e12098f5b/"
    "8677afb2da534e3d0a4151dc8f1c226a517ecd086a35fb6d7a2b873fdc54024c/"
    "7b428977fd5f526e0eb4a848978395d1e7113517995b1b22319b8840f497bc4f";

std::string fileHash(korvane_index* index) {
    char path[] = "/tmp/korvane-golden-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(korvane_index_save(index, path), 0);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return sha256Hex(bytes.data(), bytes.size());
}

// Ids and score bits of every query's results, in order.
struct ResultLog {
    std::vector<unsigned char> bytes;
    void add(const std::uint64_t* ids, const float* scores, std::uint64_t n) {
        const auto* i = reinterpret_cast<const unsigned char*>(ids);
        const auto* s = reinterpret_cast<const unsigned char*>(scores);
        bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(&n), reinterpret_cast<const unsigned char*>(&n) + 8);
        bytes.insert(bytes.end(), i, i + 8 * n);
        bytes.insert(bytes.end(), s, s + 4 * n);
    }
    std::string hash() const { return sha256Hex(bytes.data(), bytes.size()); }
};

class Golden : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vectors_ = clusteredVectors(kCount, 40, 0.35f, kSeed);
        queries_ = clusteredVectors(100, 40, 0.35f, kSeed + 1);
        one_by_one_ = korvane_index_create(100, kSeed);
        for (std::uint64_t i = 0; i < kCount; ++i) korvane_index_add(one_by_one_, 1000 + 3 * i, &vectors_[256 * i]);
        removeEverySeventh(one_by_one_);
        batched_ = batchBuilt(3);
    }
    static korvane_index* batchBuilt(std::uint64_t threads) {
        std::vector<std::uint64_t> ids(kCount);
        for (std::uint64_t i = 0; i < kCount; ++i) ids[i] = 1000 + 3 * i;
        korvane_index* index = korvane_index_create(100, kSeed);
        EXPECT_EQ(korvane_index_add_batch(index, ids.data(), vectors_.data(), kCount, threads), 0);
        removeEverySeventh(index);
        return index;
    }
    static void removeEverySeventh(korvane_index* index) {
        for (std::uint64_t i = 0; i < kCount; i += 7) korvane_index_remove(index, 1000 + 3 * i);
    }
    static void TearDownTestSuite() {
        korvane_index_destroy(one_by_one_);
        korvane_index_destroy(batched_);
    }
    static std::vector<float> vectors_, queries_;
    static korvane_index *one_by_one_, *batched_;
};
std::vector<float> Golden::vectors_, Golden::queries_;
korvane_index *Golden::one_by_one_, *Golden::batched_;

// The batch file is the same for every thread count.
TEST_F(Golden, SavedFilesOfSingleAndBatchInsertion) {
    EXPECT_EQ(fileHash(one_by_one_), kSingleFileHash);
    EXPECT_EQ(fileHash(batched_), kBatchFileHash);
    for (std::uint64_t threads : {0, 1, 2, 8, 16}) {
        korvane_index* index = batchBuilt(threads);
        EXPECT_EQ(fileHash(index), kBatchFileHash) << threads << " threads";
        korvane_index_destroy(index);
    }
}

TEST(GoldenHash, KnownDigests) {
    EXPECT_EQ(sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string long_input(1000, 'a');
    EXPECT_EQ(sha256Hex(long_input.data(), long_input.size()),
              "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
}

TEST_F(Golden, SearchResultsSingleBatchAndFiltered) {
    const std::uint64_t nq = queries_.size() / 256, k = 10;
    ResultLog single, batch, filtered;
    korvane_context* context = korvane_context_create(one_by_one_, 64);
    std::vector<std::uint64_t> ids(nq * k), allowed;
    std::vector<float> scores(nq * k);
    std::vector<std::uint64_t> counts(nq);
    for (std::uint64_t i = 0; i < kCount; i += 5) allowed.push_back(1000 + 3 * i);
    for (std::uint64_t q = 0; q < nq; ++q) {
        const std::uint64_t n = korvane_search(one_by_one_, context, &queries_[256 * q], k, ids.data(), scores.data());
        single.add(ids.data(), scores.data(), n);
        const std::uint64_t f = korvane_search_filtered(one_by_one_, context, &queries_[256 * q], allowed.data(),
                                                        allowed.size(), k, ids.data(), scores.data());
        filtered.add(ids.data(), scores.data(), f);
    }
    korvane_context_destroy(context);
    ASSERT_EQ(korvane_search_batch(one_by_one_, queries_.data(), nq, k, 64, 2, ids.data(), scores.data(), counts.data()), 0);
    for (std::uint64_t q = 0; q < nq; ++q) batch.add(&ids[q * k], &scores[q * k], counts[q]);
    ResultLog of_batched;
    ASSERT_EQ(korvane_search_batch(batched_, queries_.data(), nq, k, 64, 3, ids.data(), scores.data(), counts.data()), 0);
    for (std::uint64_t q = 0; q < nq; ++q) of_batched.add(&ids[q * k], &scores[q * k], counts[q]);
    EXPECT_EQ(single.hash() + "/" + filtered.hash() + "/" + of_batched.hash(), kResultHash);
    EXPECT_EQ(batch.hash(), single.hash());
}

}  // namespace
}  // namespace korvane::testing
