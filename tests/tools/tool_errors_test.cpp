// Bad input of every kind gets one clear line on stderr and the right exit
// code (1: the operation failed, 2: bad usage), never a crash.
#include <cmath>
#include <filesystem>

#include "tool_fixture.h"

namespace tooltest {
namespace {

constexpr std::uint64_t kCount = 20;

struct BadCase {
    std::vector<std::string> args;  // "@name" stands for a file in the scratch directory
    int exit_code;
    std::string message;  // part of the expected stderr line
};

class ToolErrorsTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        const Floats vectors = randomVectors(kCount, 1);
        writeFvecs(path("v.fvecs"), vectors);
        buildWithLibrary(vectors, 40, 1, "idx.kvx");
        writeBadVectorFiles(vectors);
        writeBadIdFiles();
        writeBadIndexFiles();
    }

    void writeBadVectorFiles(const Floats& vectors) {
        writeFvecs(path("dim128.fvecs"), Floats(vectors.begin(), vectors.begin() + 10 * 128), 128);
        const std::string fvecs = readFile(path("v.fvecs"));
        writeBytes(path("trunc.fvecs"), fvecs.substr(0, fvecs.size() - 3));
        writeBytes(path("empty.fvecs"), "");
        writeBytes(path("trunc.f32"), std::string(1000, '\0'));
        writeRaw(path("v.f32"), vectors);
        writeFvecs(path("short.fvecs"), Floats(vectors.begin(), vectors.begin() + 19 * kDim));
        writeNpy(path("trunc.npy"), "<f4", "(20, 256)", vectors.data(), 19 * kDim * 4);
        writeNpy(path("f64.npy"), "<f8", "(10, 256)", vectors.data(), 10 * kDim * 8);
        writeNpy(path("shape128.npy"), "<f4", "(20, 128)", vectors.data(), 20 * 128 * 4);
        writeBytes(path("notnpy.npy"), "just some text\n");
        Floats with_nan = vectors;
        with_nan[3 * kDim + 17] = std::nanf("");
        writeFvecs(path("nan.fvecs"), with_nan);
        writeFvecs(path("q2.fvecs"), Floats(vectors.begin(), vectors.begin() + 2 * kDim));
        Floats too_long = vectors;
        std::fill_n(too_long.begin() + 2 * kDim, kDim, 2e19f);  // finite, but its squared length is not
        writeFvecs(path("long.fvecs"), too_long);
        writeNpy(path("axes3.npy"), "<f4", "(1, 1, 256)", vectors.data(), kDim * 4);
        // Text that only looks like the element type, ahead of the real one.
        const std::vector<std::int32_t> ints(2 * kDim, 7);
        writeNpyWithHeader(path("smuggled.npy"),
                           "{'fortran_order': False, 'shape': (2, 256), 'x': \"'descr': '<f4'\", 'descr': '<i4', }",
                           ints.data(), ints.size() * 4);
        writeNpyWithHeader(path("twice.npy"),
                           "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 256), 'descr': '<f4'}",
                           vectors.data(), 2 * kDim * 4);
    }

    void writeBadIdFiles() {
        writeBytes(path("badids.txt"), "1\nx2\n");
        writeTextIds(path("short.txt"), rowNumbers(kCount - 1));
        std::vector<std::uint64_t> dup = rowNumbers(kCount);
        dup[7] = 3;
        writeTextIds(path("dup.txt"), dup);
        writeBytes(path("huge.txt"), "18446744073709551616\n");
        const std::vector<std::int64_t> negative = {1, -2};
        writeNpy(path("neg.npy"), "<i8", "(2,)", negative.data(), 16);
        writeIvecs(path("truth3.ivecs"), {{0}, {1}, {2}});
        writeIvecs(path("short_truth.ivecs"), {{0, 1, 2, 3, 4}, {5, 6}});
        writeIvecs(path("empty_truth.ivecs"), {{}, {}});
        const std::string truth = readFile(path("short_truth.ivecs"));
        writeBytes(path("trunc_truth.ivecs"), truth.substr(0, truth.size() - 4));
        std::vector<std::uint64_t> with_no_id = rowNumbers(kCount);
        with_no_id[19] = 18446744073709551615ull;
        writeTextIds(path("noid.txt"), with_no_id);
        writeBytes(path("nul.txt"), std::string("1\n2\0x\n", 6));
    }

    void writeBadIndexFiles() {
        writeBytes(path("junk.kvx"), std::string(5000, 'x'));
        const std::string index = readFile(path("idx.kvx"));
        writeBytes(path("trunc.kvx"), index.substr(0, index.size() - 100));
        std::string bad_dim = index;
        bad_dim[4] = 1;
        writeBytes(path("dim.kvx"), bad_dim);
    }

    std::vector<std::string> resolve(const std::vector<std::string>& args) const {
        std::vector<std::string> resolved;
        for (const std::string& arg : args) resolved.push_back(arg[0] == '@' ? path(arg.substr(1)) : arg);
        return resolved;
    }

    void expectRefused(const BadCase& c) {
        const RunResult r = run(resolve(c.args));
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        EXPECT_EQ(r.exit_code, c.exit_code) << shown << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("korvane: ", 0), 0u) << shown << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << shown << "\n" << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << shown << ": not one line:\n" << r.err;
        EXPECT_EQ(r.out, "") << shown;
    }
};

TEST_F(ToolErrorsTest, BadVectorFilesAreRefused) {
    const std::vector<BadCase> cases = {
        {{"build", "@missing.fvecs", "@o.kvx"}, 1, "cannot open"},
        {{"build", "@", "@o.kvx"}, 1, "not a regular file"},
        {{"build", "@dim128.fvecs", "@o.kvx", "--dim", "256"}, 1, "vectors have 128 dimensions; --dim says 256"},
        {{"search", "@idx.kvx", "@shape128.npy"}, 1, "vectors have 128 dimensions; the index has 256"},
        {{"build", "@v.f32", "@o.kvx"}, 1, "a raw float32 file does not say its dimension; give it with --dim N"},
        {{"build", "@f64.npy", "@o.kvx"}, 1, "float32"},
        {{"build", "@notnpy.npy", "@o.kvx"}, 1, "not a readable .npy file"},
        {{"build", "@trunc.fvecs", "@o.kvx"}, 1, "truncated"},
        {{"build", "@trunc.f32", "@o.kvx", "--dim", "256"}, 1, "truncated"},
        {{"build", "@trunc.npy", "@o.kvx"}, 1, "truncated"},
        {{"build", "@empty.fvecs", "@o.kvx"}, 1, "holds no vectors"},
        {{"build", "@nan.fvecs", "@o.kvx"}, 1, "vector 3 has a component that is not a finite number"},
        {{"search", "@idx.kvx", "@trunc.fvecs"}, 1, "truncated"},
        {{"eval", "@v.fvecs", "@dim128.fvecs"}, 1, "vectors have 128 dimensions; BASE has 256"},
        {{"build", "@axes3.npy", "@o.kvx"}, 1, ".npy shape (1, 1, 256) has 3 axes; korvane needs (n, dim)"},
        {{"build", "@smuggled.npy", "@o.kvx"}, 1, "header: unexpected key 'x'"},
        {{"build", "@twice.npy", "@o.kvx"}, 1, "header: key 'descr' given twice"},
        {{"build", "@long.fvecs", "@o.kvx"}, 1, "vector 2 is too long: its squared length overflows float32"},
        {{"search", "@idx.kvx", "@long.fvecs"}, 1, "vector 2 is too long"},
    };
    for (const BadCase& c : cases) expectRefused(c);
    EXPECT_FALSE(std::filesystem::exists(path("o.kvx")));
}

TEST_F(ToolErrorsTest, BadIdFilesAreRefused) {
    const std::vector<BadCase> cases = {
        {{"build", "@v.fvecs", "@o.kvx", "--ids", "@badids.txt"}, 1, "line 2: 'x2' is not an id"},
        {{"build", "@v.fvecs", "@o.kvx", "--ids", "@huge.txt"}, 1, "line 1"},
        {{"build", "@v.fvecs", "@o.kvx", "--ids", "@short.txt"}, 1, "holds 19 ids for 20 vectors"},
        {{"build", "@v.fvecs", "@o.kvx", "--ids", "@dup.txt"}, 1, "id 3 appears more than once"},
        {{"build", "@v.fvecs", "@o.kvx", "--ids", "@neg.npy"}, 1, "the id at position 1 is negative (-2)"},
        {{"build", "@v.fvecs", "@o.kvx", "--ids", "@noid.txt"}, 1, "the id at position 19 is 18446744073709551615"},
        {{"eval", "@v.fvecs", "@q2.fvecs", "--ids", "@noid.txt"}, 1, "18446744073709551615"},
        {{"eval", "@v.fvecs", "@q2.fvecs", "--truth", "@trunc_truth.ivecs"}, 1, "row 1 promises 2 entries"},
        {{"remove", "@idx.kvx", "@missing.txt"}, 1, "cannot open"},
        {{"search", "@idx.kvx", "@v.fvecs", "--filter", "@badids.txt"}, 1, "line 2"},
        {{"eval", "@v.fvecs", "@q2.fvecs", "--truth", "@truth3.ivecs"}, 1, "holds 3 rows for 2 queries"},
        {{"eval", "@v.fvecs", "@q2.fvecs", "--truth", "@short_truth.ivecs", "-k", "5"},
         1, "row 1 holds 2 neighbours; recall@5 needs 5"},
        {{"eval", "@v.fvecs", "@q2.fvecs", "--truth", "@empty_truth.ivecs"}, 1, "row 0 holds 0 neighbours"},
        {{"search", "@idx.kvx", "@v.fvecs", "--filter", "@nul.txt"}, 1, "line 2: '2\\x00x' is not an id"},
    };
    for (const BadCase& c : cases) expectRefused(c);
}

// Recall measured against an index or a truth file that does not describe
// BASE would be meaningless, so every mismatch fails instead of running.
TEST_F(ToolErrorsTest, EvalRefusesAnIndexOrTruthThatDoesNotFitTheData) {
    writeIvecs(path("far_truth.ivecs"), {{0, 25}, {1, 2}});
    const std::vector<BadCase> cases = {
        {{"eval", "@short.fvecs", "@q2.fvecs", "--index", "@idx.kvx"}, 1, "the index holds 20 vectors; BASE has 19"},
        {{"eval", "@dim128.fvecs", "@dim128.fvecs", "--index", "@idx.kvx"}, 1,
         "vectors have 128 dimensions; the index has 256"},
        {{"eval", "@v.f32", "@q2.fvecs", "--index", "@idx.kvx", "--dim", "128"}, 1,
         "the index has 256 dimensions; --dim says 128"},
        {{"eval", "@v.fvecs", "@q2.fvecs", "--index", "@idx.kvx", "--metric", "l2"}, 1,
         "the index ranks by ip; --metric says l2"},
        {{"eval", "@v.fvecs", "@q2.fvecs", "--index", "@idx.kvx", "--truth", "@far_truth.ivecs", "-k", "2"}, 1,
         "ground truth names row 25 but there are only 20 base vectors"},
    };
    for (const BadCase& c : cases) expectRefused(c);
    // The index's width reads a raw BASE without --dim.
    const RunResult fits = run({"eval", path("v.f32"), path("q2.fvecs"), "--index", path("idx.kvx"), "--ef", "16"});
    EXPECT_EQ(fits.exit_code, 0) << fits.err;
}

TEST_F(ToolErrorsTest, IndexFilesTheLibraryRefusesAreReported) {
    const std::string before = readFile(path("trunc.kvx"));
    for (const char* file : {"@junk.kvx", "@trunc.kvx", "@dim.kvx", "@v.fvecs"}) {
        expectRefused({{"info", file}, 1, "not a valid index file"});
        expectRefused({{"search", file, "@v.fvecs"}, 1, "not a valid index file"});
        expectRefused({{"remove", file, "@short.txt"}, 1, "not a valid index file"});
        expectRefused({{"eval", "@v.fvecs", "@v.fvecs", "--index", file}, 1, "not a valid index file"});
    }
    expectRefused({{"info", "@nothing.kvx"}, 1, "cannot open"});
    const std::string too_long = "/" + std::string(1100, 'a') + ".kvx";
    expectRefused({{"info", too_long}, 1, "path is 1105 bytes long; index files take at most 1023"});
    expectRefused({{"search", too_long, "@v.fvecs"}, 1, "path is 1105 bytes long"});
    EXPECT_TRUE(readFile(path("trunc.kvx")) == before);
    expectRefused({{"build", "@v.fvecs", "@no/such/dir/o.kvx"}, 1, "cannot save"});
}

TEST_F(ToolErrorsTest, BadUsageExitsWithTwo) {
    const std::vector<BadCase> cases = {
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"search", "@idx.kvx", "@v.fvecs", "--frobnicate"}, 2, "unknown option --frobnicate"},
        {{"search", "@idx.kvx"}, 2, "missing arguments"},
        {{"search", "@idx.kvx", "@v.fvecs", "extra"}, 2, "unexpected argument 'extra'"},
        {{"search", "@idx.kvx", "@v.fvecs", "-k"}, 2, "-k needs a value"},
        {{"search", "@idx.kvx", "@v.fvecs", "-k", "abc"}, 2, "-k must be an integer from 1 to 256, not 'abc'"},
        {{"search", "@idx.kvx", "@v.fvecs", "-k", "0"}, 2, "-k must be"},
        {{"search", "@idx.kvx", "@v.fvecs", "-k", "257"}, 2, "-k must be"},
        {{"search", "@idx.kvx", "@v.fvecs", "--ef", "-3"}, 2, "--ef must be"},
        {{"search", "@idx.kvx", "@v.fvecs", "--ef", "99999999999999999999999"}, 2, "--ef must be"},
        {{"search", "@idx.kvx", "@v.fvecs", "--threads", "0"}, 2, "--threads must be"},
        {{"search", "@idx.kvx", "@v.fvecs", "--json=yes"}, 2, "takes no value"},
        {{"build", "@v.fvecs", "@o.kvx", "--seed", "1.5"}, 2, "--seed must be"},
        {{"build", "@v.fvecs", "@o.kvx", "--ef-construction", ""}, 2, "--ef-construction must be"},
        {{"eval", "@v.fvecs", "@v.fvecs", "--ef", "16,x"}, 2, "--ef must be"},
        {{"eval", "@v.fvecs", "@v.fvecs", "--ef", "16,,32"}, 2, "--ef must be"},
        {{"demo", "--count", "0"}, 2, "--count must be"},
        {{"build", "@v.fvecs", "@o.kvx", "--store", "f16"}, 2, "--store must be f32, int8 or none, not 'f16'"},
        {{"eval", "@v.fvecs", "@v.fvecs", "--store", "F32"}, 2, "--store must be"},
        {{"search", "@idx.kvx", "@v.fvecs", "--rerank", "-1"}, 2, "--rerank must be"},
        {{"search", "@idx.kvx", "@v.fvecs", "--walk", "exact"}, 2, "--walk must be hamming or scored, not 'exact'"},
        {{"info", "@idx.kvx", "@idx.kvx"}, 2, "unexpected argument"},
        {{"build", "@v.fvecs", "@o.kvx", "--metric", "euclid"}, 2, "--metric must be ip, cosine or l2, not 'euclid'"},
        {{"eval", "@v.fvecs", "@v.fvecs", "--metric", "IP"}, 2, "--metric must be"},
        {{"build", "@v.f32", "@o.kvx", "--dim", "4097"}, 2, "--dim must be an integer from 1 to 4096"},
        {{"generate", "@b.npy", "@q.npy", "--dim", "0"}, 2, "--dim must be"},
        {{"demo", "--metric", "dot"}, 2, "--metric must be"},
    };
    for (const BadCase& c : cases) expectRefused(c);
}

}  // namespace
}  // namespace tooltest
