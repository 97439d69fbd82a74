// The tool's commands run as a user runs them, checked against what the
// library itself gives for the same input.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

#include "tool_fixture.h"

namespace tooltest {
namespace {

constexpr std::uint64_t kCount = 300;

std::string scoreText(float score) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", score);
    return text;
}

std::string expectedTsv(const BatchResults& r) {
    std::string text = "query\trank\tid\tscore\n";
    for (std::uint64_t q = 0; q < r.counts.size(); ++q)
        for (std::uint64_t i = 0; i < r.counts[q]; ++i)
            text += std::to_string(q) + "\t" + std::to_string(i + 1) + "\t" +
                    std::to_string(r.ids[q * r.k + i]) + "\t" + scoreText(r.scores[q * r.k + i]) + "\n";
    return text;
}

std::string expectedJson(const BatchResults& r) {
    std::string text;
    for (std::uint64_t q = 0; q < r.counts.size(); ++q) {
        std::string ids, scores;
        for (std::uint64_t i = 0; i < r.counts[q]; ++i) {
            const std::string separator = i ? ", " : "";
            ids += separator + std::to_string(r.ids[q * r.k + i]);
            scores += separator + scoreText(r.scores[q * r.k + i]);
        }
        text += "{\"query\": " + std::to_string(q) + ", \"ids\": [" + ids + "], \"scores\": [" +
                scores + "]}\n";
    }
    return text;
}

double recallOf(const BatchResults& r, const std::vector<std::vector<std::uint64_t>>& truth,
                std::uint64_t k) {
    double sum = 0;
    for (std::uint64_t q = 0; q < truth.size(); ++q) {
        std::uint64_t hits = 0;
        for (std::uint64_t i = 0; i < r.counts[q]; ++i)
            for (std::uint64_t t = 0; t < k; ++t) hits += r.ids[q * r.k + i] == truth[q][t];
        sum += static_cast<double>(hits) / k;
    }
    return sum / truth.size();
}

std::string fixed4(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

// The second column of each CSV data row.
std::vector<std::string> csvColumn(const std::string& csv, std::size_t column) {
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);  // header
    std::vector<std::string> cells;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string cell;
        for (std::size_t c = 0; c <= column; ++c) std::getline(fields, cell, ',');
        cells.push_back(cell);
    }
    return cells;
}

TEST_F(ToolTest, BuildWritesTheLibrarysIndexFromEveryVectorFormat) {
    const Floats vectors = randomVectors(kCount, 1);
    writeFvecs(path("v.fvecs"), vectors);
    writeNpyVectors(path("v.npy"), vectors);
    writeRaw(path("v.f32"), vectors);
    buildWithLibrary(vectors, 40, 7, "expected.kvx");
    const std::string expected = readFile(path("expected.kvx"));
    for (const char* input : {"v.fvecs", "v.npy", "v.f32"}) {
        const RunResult r = run({"build", path(input), path("out.kvx"), "--seed", "7",
                                 "--ef-construction", "40", "--threads", "2", "--dim", "256"});
        ASSERT_EQ(r.exit_code, 0) << input << ": " << r.err;
        EXPECT_NE(r.out.find("300 vectors"), std::string::npos) << r.out;
        EXPECT_TRUE(readFile(path("out.kvx")) == expected) << input;
    }
}

TEST_F(ToolTest, BuildTakesIdsFromTextOrNpy) {
    const Floats vectors = randomVectors(kCount, 2);
    writeFvecs(path("v.fvecs"), vectors);
    std::vector<std::uint64_t> ids;
    for (std::uint64_t i = 0; i < kCount; ++i) ids.push_back(18446744073709551614ull - 3 * i);
    writeTextIds(path("ids.txt"), ids);
    writeNpyIds(path("ids.npy"), ids);
    buildWithLibrary(vectors, 40, 9, "expected.kvx", ids);
    for (const char* id_file : {"ids.txt", "ids.npy"}) {
        const RunResult r = run({"build", path("v.fvecs"), path("out.kvx"), "--ids", path(id_file),
                                 "--seed", "9", "--ef-construction", "40"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(readFile(path("out.kvx")) == readFile(path("expected.kvx"))) << id_file;
    }
}

TEST_F(ToolTest, SearchPrintsTheLibrarysResultsAsTsvOrJson) {
    const IndexPtr index = buildWithLibrary(randomVectors(kCount, 3), 40, 1, "idx.kvx");
    const Floats queries = randomVectors(6, 4);
    writeNpyVectors(path("q.npy"), queries);
    const BatchResults expected = search(index.get(), queries, 7, 50);

    const RunResult tsv = run({"search", path("idx.kvx"), path("q.npy"), "-k", "7", "--ef", "50"});
    ASSERT_EQ(tsv.exit_code, 0) << tsv.err;
    EXPECT_EQ(tsv.out, expectedTsv(expected));
    const RunResult json = run({"search", path("idx.kvx"), path("q.npy"), "-k=7", "--ef=50",
                                "--json", "--threads", "1"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    EXPECT_EQ(json.out, expectedJson(expected));
}

// The defaults agree with the Python package's (seed 0); an ef below k and a
// thread count above the work are what a careful caller would have asked for.
TEST_F(ToolTest, DefaultsAndOversizedOptionsGiveTheSensibleSearch) {
    const Floats vectors = randomVectors(50, 10);
    writeFvecs(path("v.fvecs"), vectors);
    const IndexPtr index = buildWithLibrary(vectors, 40, 0, "expected.kvx");
    const RunResult built = run({"build", path("v.fvecs"), path("idx.kvx"), "--ef-construction", "40",
                                 "--threads", "1024"});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_TRUE(readFile(path("idx.kvx")) == readFile(path("expected.kvx")));

    const Floats queries = randomVectors(3, 11);
    writeFvecs(path("q.fvecs"), queries);
    const BatchResults expected = search(index.get(), queries, 20, 20);
    EXPECT_EQ(expected.counts, std::vector<std::uint64_t>(3, 20));
    const RunResult found = run({"search", path("idx.kvx"), path("q.fvecs"), "-k", "20", "--ef", "2",
                                 "--threads", "1024"});
    ASSERT_EQ(found.exit_code, 0) << found.err;
    EXPECT_EQ(found.out, expectedTsv(expected));
}

TEST_F(ToolTest, StoreAndRerankOptionsReachTheLibrary) {
    const Floats vectors = randomVectors(kCount, 6);
    writeFvecs(path("v.fvecs"), vectors);
    const Floats queries = randomVectors(6, 7);
    writeFvecs(path("q.fvecs"), queries);
    const IndexPtr index = buildWithLibrary(vectors, 40, 2, "expected.kvx", {}, KORVANE_STORE_F32);
    const RunResult built = run({"build", path("v.fvecs"), path("f32.kvx"), "--seed", "2", "--ef-construction",
                                 "40", "--store", "f32"});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_TRUE(readFile(path("f32.kvx")) == readFile(path("expected.kvx")));
    const RunResult info = run({"info", path("f32.kvx")});
    EXPECT_NE(info.out.find("raw copies         float32 (store f32)\n"), std::string::npos) << info.out;
    for (const char* rerank : {"0", "1"})
        for (const char* walk : {"hamming", "scored"}) {
            const RunResult found = run({"search", path("f32.kvx"), path("q.fvecs"), "-k", "5", "--ef", "40",
                                         "--rerank", rerank, "--walk", walk});
            ASSERT_EQ(found.exit_code, 0) << found.err;
            const std::uint32_t expected_walk = walk[0] == 'h' ? KORVANE_WALK_HAMMING : KORVANE_WALK_SCORED;
            EXPECT_EQ(found.out, expectedTsv(search(index.get(), queries, 5, 40, std::stoull(rerank), expected_walk)))
                << rerank << " " << walk;
        }
}

TEST_F(ToolTest, FilteredSearchUsesOnlyTheListedIds) {
    const IndexPtr index = buildWithLibrary(randomVectors(kCount, 5), 40, 1, "idx.kvx");
    const Floats queries = randomVectors(4, 6);
    writeFvecs(path("q.fvecs"), queries);
    std::vector<std::uint64_t> allowed = {3, 33, 63, 99, 150, 151, 299, 5000};  // 5000 absent
    std::vector<std::uint64_t> listed = allowed;
    listed.insert(listed.begin() + 2, 33);  // a repeat counts once
    listed.push_back(3);
    writeTextIds(path("allow.txt"), listed);

    BatchResults expected{5, std::vector<std::uint64_t>(20), std::vector<float>(20),
                          std::vector<std::uint64_t>(4)};
    korvane_context* context = korvane_context_create(index.get(), 1);
    for (std::uint64_t q = 0; q < 4; ++q)
        expected.counts[q] = korvane_search_filtered(index.get(), context, queries.data() + q * kDim,
                                                     allowed.data(), allowed.size(), 5,
                                                     expected.ids.data() + q * 5,
                                                     expected.scores.data() + q * 5);
    korvane_context_destroy(context);

    const RunResult r = run({"search", path("idx.kvx"), path("q.fvecs"), "-k", "5", "--filter",
                             path("allow.txt"), "--threads", "2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, expectedTsv(expected));
    EXPECT_EQ(expected.counts[0], 5u);
    for (std::uint64_t q = 0; q < 4; ++q) {
        const auto first = expected.ids.begin() + std::ptrdiff_t(q * 5);
        const std::set<std::uint64_t> distinct(first, first + std::ptrdiff_t(expected.counts[q]));
        EXPECT_EQ(distinct.size(), expected.counts[q]) << q;
        for (std::uint64_t id : distinct) EXPECT_TRUE(id != 5000 && std::count(allowed.begin(), allowed.end(), id)) << id;
    }
}

TEST_F(ToolTest, EvalReportsTheRecallOfTheLibrarysSearches) {
    const Floats base = randomVectors(kCount, 7);
    const Floats queries = randomVectors(12, 8);
    writeFvecs(path("base.fvecs"), base);
    writeRaw(path("q.raw"), queries);
    const auto truth = bruteForce(base, queries, 5);
    writeIvecs(path("truth.ivecs"), truth);
    const IndexPtr index = buildWithLibrary(base, 40, 3, "idx.kvx");
    const std::vector<std::string> expected = {fixed4(recallOf(search(index.get(), queries, 5, 5), truth, 5)),
                                               fixed4(recallOf(search(index.get(), queries, 5, 64), truth, 5))};
    const std::vector<std::string> common = {"eval", path("base.fvecs"), path("q.raw"), "-k", "5",
                                             "--ef", "5,64", "--csv"};
    const std::vector<std::vector<std::string>> variants = {
        {"--index", path("idx.kvx"), "--truth", path("truth.ivecs")},
        {"--index", path("idx.kvx"), "--threads", "1"},
        {"--seed", "3", "--ef-construction", "40", "--threads", "2"},  // built in memory
    };
    for (const auto& variant : variants) {
        std::vector<std::string> args = common;
        args.insert(args.end(), variant.begin(), variant.end());
        const RunResult r = run(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "ef_search,recall@5,queries/s");
        EXPECT_EQ(csvColumn(r.out, 1), expected) << variant[0];
        EXPECT_EQ(csvColumn(r.out, 0), (std::vector<std::string>{"5", "64"}));
    }
}

// A 784-d Euclidean index from .npy through build, search, info and eval:
// the library's own file and scores, and recall against exact neighbours by
// the index's metric, whether the index is loaded or built in memory.
TEST_F(ToolTest, OtherShapesWorkEndToEnd) {
    constexpr std::uint32_t kWide = 784;
    const Floats base = randomVectors(kCount, 12, kWide);
    const Floats queries = randomVectors(12, 13, kWide);
    writeNpy(path("base.npy"), "<f4", "(300, 784)", base.data(), base.size() * 4);
    writeNpy(path("q.npy"), "<f4", "(12, 784)", queries.data(), queries.size() * 4);
    const std::vector<std::uint64_t> ids = rowNumbers(kCount);
    auto libraryIndex = [&](std::uint32_t metric, const std::string& name) {
        IndexPtr index(korvane_index_create_with_options(kWide, metric, KORVANE_STORE_I8, 40, 5));
        EXPECT_EQ(korvane_index_add_batch(index.get(), ids.data(), base.data(), kCount, 1), 0);
        EXPECT_EQ(korvane_index_save(index.get(), path(name).c_str()), 0);
        return index;
    };
    const IndexPtr l2 = libraryIndex(KORVANE_METRIC_L2, "expected.kvx");

    const RunResult built = run({"build", path("base.npy"), path("idx.kvx"), "--metric", "l2", "--seed", "5",
                                 "--ef-construction", "40"});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_TRUE(readFile(path("idx.kvx")) == readFile(path("expected.kvx")));

    const BatchResults expected = search(l2.get(), queries, 5, 40);
    for (float score : expected.scores) EXPECT_LT(score, 0.0f);
    const RunResult found = run({"search", path("idx.kvx"), path("q.npy"), "-k", "5", "--ef", "40"});
    ASSERT_EQ(found.exit_code, 0) << found.err;
    EXPECT_EQ(found.out, expectedTsv(expected));

    const RunResult info = run({"info", path("idx.kvx")});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    char lengths[64], shape[64];
    std::snprintf(lengths, sizeof lengths, "  %-16s %13s\n", "squared lengths", "1,200");
    std::snprintf(shape, sizeof shape, "  %-16s %13s\n", "shape and centre", "3,149");  // 13 + 784 floats
    for (const std::string& line : {std::string("dimension          784\n"),
                                   std::string("metric             l2 (score: minus the squared Euclidean distance)\n"),
                                   std::string("raw copies         int8 with a scale per vector (store int8)\n"),
                                   std::string(lengths), std::string(shape)})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
    EXPECT_EQ(info.out.find("ignored tail"), std::string::npos) << info.out;

    // Past one add batch of the tool: a Euclidean index's centre comes from
    // its first call, so the tool's build must still equal a single call.
    const Floats small = randomVectors(5000, 14, 3);
    writeRaw(path("small.f32"), small);
    IndexPtr single(korvane_index_create_with_options(3, KORVANE_METRIC_L2, KORVANE_STORE_F32, 40, 5));
    const std::vector<std::uint64_t> small_ids = rowNumbers(5000);
    ASSERT_EQ(korvane_index_add_batch(single.get(), small_ids.data(), small.data(), 5000, 2), 0);
    ASSERT_EQ(korvane_index_save(single.get(), path("small_expected.kvx").c_str()), 0);
    const RunResult small_built = run({"build", path("small.f32"), path("small.kvx"), "--dim", "3", "--metric", "l2",
                                       "--store", "f32", "--seed", "5", "--ef-construction", "40"});
    ASSERT_EQ(small_built.exit_code, 0) << small_built.err;
    EXPECT_TRUE(readFile(path("small.kvx")) == readFile(path("small_expected.kvx")));

    const IndexPtr cosine = libraryIndex(KORVANE_METRIC_COSINE, "cosine.kvx");
    struct Case {
        const korvane_index* index;
        std::uint32_t metric;
        std::vector<std::string> options;
    };
    const std::vector<Case> cases = {
        {l2.get(), KORVANE_METRIC_L2, {"--index", path("idx.kvx")}},
        {l2.get(), KORVANE_METRIC_L2, {"--metric", "l2", "--seed", "5", "--ef-construction", "40"}},
        {cosine.get(), KORVANE_METRIC_COSINE, {"--metric", "cosine", "--seed", "5", "--ef-construction", "40"}},
    };
    for (const Case& c : cases) {
        const auto truth = bruteForce(base, queries, 5, kWide, c.metric);
        const std::vector<std::string> recall = {fixed4(recallOf(search(c.index, queries, 5, 5), truth, 5)),
                                                 fixed4(recallOf(search(c.index, queries, 5, 64), truth, 5))};
        std::vector<std::string> args = {"eval", path("base.npy"), path("q.npy"), "-k", "5", "--ef", "5,64", "--csv"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult r = run(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(csvColumn(r.out, 1), recall) << c.options[1];
    }
}

TEST_F(ToolTest, RemoveTakesIdsOutAndInfoDescribesTheFile) {
    const Floats vectors = randomVectors(kCount, 9);
    buildWithLibrary(vectors, 40, 1, "idx.kvx");
    writeTextIds(path("gone.txt"), {4, 8, 15, 16, 23, 42000, 8});
    const std::string before = readFile(path("idx.kvx"));

    const RunResult copy = run({"remove", path("idx.kvx"), path("gone.txt"), "-o", path("copy.kvx")});
    ASSERT_EQ(copy.exit_code, 0) << copy.err;
    EXPECT_EQ(copy.out, "removed 5 ids (1 not in the index, 1 listed again); " + path("copy.kvx") +
                            " holds 295 vectors\n");
    EXPECT_TRUE(readFile(path("idx.kvx")) == before);
    ASSERT_EQ(run({"remove", path("idx.kvx"), path("gone.txt")}).exit_code, 0);
    EXPECT_TRUE(readFile(path("idx.kvx")) == readFile(path("copy.kvx")));

    // Compaction keeps the live vectors and drops the removed ones' nodes.
    const RunResult compacted = run({"compact", path("copy.kvx"), "-o", path("compact.kvx")});
    ASSERT_EQ(compacted.exit_code, 0) << compacted.err;
    EXPECT_EQ(compacted.out.rfind("compacted: " + path("compact.kvx") + " holds 295 vectors; memory estimate ", 0), 0u)
        << compacted.out;
    const RunResult compact_info = run({"info", path("compact.kvx")});
    EXPECT_NE(compact_info.out.find("nodes              295 "), std::string::npos) << compact_info.out;

    const IndexPtr index = load("idx.kvx");
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(korvane_index_len(index.get()), 295u);
    const BatchResults found = search(index.get(), Floats(vectors.begin() + 4 * kDim, vectors.begin() + 24 * kDim), 3, 64);
    for (std::uint64_t id : found.ids) EXPECT_TRUE(id != 4 && id != 8 && id != 15 && id != 16 && id != 23);

    const RunResult info = run({"info", path("idx.kvx")});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    const std::string size = std::to_string(readFile(path("idx.kvx")).size());
    for (const std::string& line : {std::string("nodes              300 "), std::string("live               295\n"),
                                    std::string("removed            5\n"), std::string("ef_construction    40\n"),
                                    std::string("raw copies         int8 with a scale per vector (store int8)\n"),
                                    std::string("calibration        none\n")})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
    EXPECT_NE(info.out.find("  layer 0          300 nodes, "), std::string::npos) << info.out;
    std::string grouped;
    for (std::size_t i = 0; i < size.size(); ++i)
        grouped += std::string(i > 0 && (size.size() - i) % 3 == 0 ? "," : "") + size[i];
    EXPECT_NE(info.out.find("file size          " + grouped + " bytes"), std::string::npos) << info.out;
}

TEST_F(ToolTest, GenerateIsReproducibleAndReadableByBuild) {
    ASSERT_EQ(run({"generate", path("b.npy"), path("q.fvecs"), "--count", "200", "--queries", "10"}).exit_code, 0);
    ASSERT_EQ(run({"generate", path("b2.npy"), path("q2.fvecs"), "--count", "200", "--queries", "10"}).exit_code, 0);
    ASSERT_EQ(run({"generate", path("b3.npy"), path("q3.fvecs"), "--count", "200", "--queries", "10", "--seed", "2"}).exit_code, 0);
    EXPECT_EQ(readFile(path("q.fvecs")).size(), 10u * 1028);
    ASSERT_EQ(run({"generate", path("w.fvecs"), path("w.raw"), "--count", "30", "--queries", "4", "--dim", "784"}).exit_code, 0);
    const std::string wide = readFile(path("w.fvecs"));
    EXPECT_EQ(wide.size(), 30u * (4 + 784 * 4));
    EXPECT_EQ(wide.substr(0, 4), std::string("\x10\x03\0\0", 4));  // 784
    EXPECT_EQ(readFile(path("w.raw")).size(), 4u * 784 * 4);
    EXPECT_TRUE(readFile(path("b.npy")) == readFile(path("b2.npy")));
    EXPECT_FALSE(readFile(path("b.npy")) == readFile(path("b3.npy")));
    const RunResult r = run({"build", path("b.npy"), path("idx.kvx")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("200 vectors"), std::string::npos);
}

// A write that fails midway (the file size limit stands in for a full
// disk) leaves the previous file as it was and no partial file anywhere.
TEST_F(ToolTest, GenerateReplacesItsOutputsOnlyWhenComplete) {
    writeBytes(path("b.fvecs"), "previous");
    rlimit previous_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous_limit), 0);
    rlimit small = previous_limit;
    small.rlim_cur = 100000;
    auto* previous_handler = signal(SIGXFSZ, SIG_IGN);  // inherited: the write fails instead
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const RunResult r = run({"generate", path("b.fvecs"), path("q.fvecs"), "--count", "200", "--queries", "10"});
    setrlimit(RLIMIT_FSIZE, &previous_limit);
    signal(SIGXFSZ, previous_handler);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot write " + path("b.fvecs")), std::string::npos) << r.err;
    EXPECT_EQ(readFile(path("b.fvecs")), "previous");
    for (const auto& entry : std::filesystem::directory_iterator(path("")))
        EXPECT_EQ(entry.path().filename().string().find(".korvane-"), std::string::npos) << entry.path();
}

TEST_F(ToolTest, DemoRunsEndToEndOnASmallSet) {
    const RunResult r = run({"demo", "--count", "1500", "--queries", "20", "--threads", "2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("korvane demo: 1,500 clustered 256-d vectors, 20 queries, seed 0, 2 threads\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("brute-force inner product"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("answers exactly as the built one"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("recall@10"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("float32 copies, every candidate re-scored"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    const RunResult shaped = run({"demo", "--count", "600", "--queries", "10", "--threads", "2", "--dim", "20",
                                  "--metric", "cosine"});
    ASSERT_EQ(shaped.exit_code, 0) << shaped.err;
    EXPECT_EQ(shaped.out.rfind("korvane demo: 600 clustered 20-d vectors, ranked by cosine similarity,", 0), 0u)
        << shaped.out;
    EXPECT_NE(shaped.out.find("brute-force cosine similarity"), std::string::npos) << shaped.out;
    EXPECT_NE(shaped.out.find("answers exactly as the built one"), std::string::npos) << shaped.out;
}

TEST_F(ToolTest, EveryCommandExplainsItself) {
    const RunResult top = run({"--help"});
    EXPECT_EQ(top.exit_code, 0);
    for (const char* command : {"demo", "generate", "build", "search", "eval", "info", "remove", "compact"}) {
        EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos) << command;
        const RunResult help = run({command, "--help"});
        EXPECT_EQ(help.exit_code, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: korvane ") + command, 0), 0u) << help.out;
    }
}

}  // namespace
}  // namespace tooltest
