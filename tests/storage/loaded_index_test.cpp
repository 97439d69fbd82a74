// Loaded indexes at work: searches, additions, and the raw mode and
// calibration statistics that only a file can set.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "api/handles.h"
#include "graph/invariants.h"
#include "encoding/projection.h"
#include "encoding/quantizer.h"
#include "encoding/scoring.h"
#include "korvane.h"
#include "storage/file_io.h"
#include "storage/index_builder.h"
#include "support/test_support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Results {
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
    bool operator==(const Results&) const = default;
};

Results searchFor(korvane_index* index, const float* query, std::uint64_t k, std::uint64_t ef = 64) {
    korvane_context* context = korvane_context_create(index, ef);
    Results r{std::vector<std::uint64_t>(k), std::vector<float>(k)};
    const std::uint64_t count = korvane_search(index, context, query, k, r.ids.data(), r.scores.data());
    korvane_context_destroy(context);
    r.ids.resize(count);
    r.scores.resize(count);
    return r;
}

class LoadedIndex : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvane-loaded-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

TEST_F(LoadedIndex, AnswersLikeTheOriginalAndKeepsChanging) {
    const std::vector<float> vectors = testing::clusteredVectors(400, 12, 0.4f, 5);
    std::vector<std::uint64_t> ids(400);
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = 5000 + 3 * i;
    korvane_index* original = korvane_index_create(48, 77);
    ASSERT_EQ(korvane_index_add_batch(original, ids.data(), vectors.data(), 400, 2), 0);
    for (std::size_t i = 0; i < 400; i += 9) ASSERT_EQ(korvane_index_remove(original, ids[i]), 0);
    ASSERT_EQ(korvane_index_save(original, path("a.kvx").c_str()), 0);
    korvane_index* loaded = korvane_index_load(path("a.kvx").c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(korvane_index_len(loaded), korvane_index_len(original));

    const std::vector<float> queries = testing::randomVectors(12, 9);
    for (std::size_t q = 0; q < 12; ++q)
        EXPECT_EQ(searchFor(loaded, &queries[q * 256], 10), searchFor(original, &queries[q * 256], 10)) << q;

    const std::vector<float> more = testing::randomVectors(20, 10);
    for (std::size_t i = 0; i < 20; ++i) ASSERT_EQ(korvane_index_add(loaded, 900000 + i, &more[i * 256]), 0);
    EXPECT_EQ(korvane_index_add(loaded, ids[1], vectors.data()), -2);
    EXPECT_EQ(korvane_index_add(loaded, ids[0], vectors.data()), 0);  // removed before the save
    EXPECT_EQ(korvane_index_remove(loaded, ids[2]), 0);
    EXPECT_EQ(korvane_index_len(loaded), korvane_index_len(original) + 20);
    EXPECT_EQ(searchFor(loaded, &more[7 * 256], 1).ids, std::vector<std::uint64_t>{900007});
    EXPECT_TRUE(checkGraphInvariants(fromHandle(loaded)->graph, fromHandle(loaded)->payloads.len));
    korvane_index_destroy(loaded);
    korvane_index_destroy(original);
}

// An empty image edited to a raw mode and, optionally, calibration
// statistics: additions must encode with the statistics and keep the raw
// copy of that mode, and searches must score the way that mode implies.
struct Variant {
    RawMode raw_mode;
    bool calibrated;
};

Bytes editedEmptyImage(const Variant& variant, const std::vector<float>& mean, const std::vector<float>& std) {
    Index* index = createIndex(32, 21);
    Bytes image = testing::imageOf(*index);
    destroyIndex(index);
    image[44] = static_cast<std::uint8_t>(variant.raw_mode);
    if (variant.calibrated) {
        image[45] = 1;
        Bytes block(2048);
        std::memcpy(block.data(), mean.data(), 1024);
        std::memcpy(block.data() + 1024, std.data(), 1024);
        image.insert(image.begin() + 46, block.begin(), block.end());
    }
    return image;
}

float expectedScore(const Index& index, const float* query, const Variant& variant) {
    float rotated[256], scoring[256], lut[2048];
    rotateVector(index.rotation, query, rotated);
    if (variant.raw_mode == RawMode::F32) return exactScoreF32(rotated, index.raw_f32.data);
    if (variant.raw_mode == RawMode::I8) return exactScoreI8(rotated, index.raw_i8.data, index.raw_scales[0]);
    quantizeQuery(rotated, scoring, 256);
    const bool cal = variant.calibrated;
    const LutSums sums = buildLut(scoring, cal ? index.calibration_mean.data : nullptr,
                                  cal ? index.calibration_std.data : nullptr, lut);
    return estimateScore(index.payloads[0], lut, sums);
}

bool samePayload(const TurboQuantPayload& a, const TurboQuantPayload& b) {
    return a.id == b.id && std::memcmp(a.codes, b.codes, kCodeGroups * sizeof(std::uint32_t)) == 0 && a.sigma == b.sigma &&
           a.mu == b.mu && a.gamma == b.gamma;
}

// Ids built to share one slot of a fixed hash: a batch of them and a file
// holding them must cost a few probes per id, not a probe run as long as
// the map (quadratic in the count).
TEST_F(LoadedIndex, IdsChosenToCollideInsertAndLoadInLinearProbes) {
    constexpr std::size_t n = 3000;
    const std::vector<std::uint64_t> ids = testing::idsCollidingUnderFixedMix(n);
    const std::vector<float> vectors = testing::randomVectors(n, 31);
    korvane_index* index = korvane_index_create(32, 5);
    ASSERT_EQ(korvane_index_add_batch(index, ids.data(), vectors.data(), n, 2), 0);
    EXPECT_LT(fromHandle(index)->id_to_node.probesToFindAll(), 3 * n);
    ASSERT_EQ(korvane_index_save(index, path("colliding.kvx").c_str()), 0);
    korvane_index_destroy(index);

    korvane_index* loaded = korvane_index_load(path("colliding.kvx").c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(korvane_index_len(loaded), n);
    EXPECT_LT(fromHandle(loaded)->id_to_node.probesToFindAll(), 3 * n);
    EXPECT_EQ(korvane_index_add(loaded, ids[n / 2], vectors.data()), -2);
    korvane_index_destroy(loaded);
}

TEST_F(LoadedIndex, FileSetRawModeAndCalibrationGovernAdditionsAndScores) {
    std::vector<float> mean(256), std(256);
    for (std::size_t i = 0; i < 256; ++i) {
        mean[i] = 0.02f * float(int(i % 7) - 3);
        std[i] = 0.6f + 0.01f * float(i % 11);
    }
    const std::vector<float> data = testing::randomVectors(2, 31);
    const float* vector = data.data();
    const float* query = data.data() + 256;
    float estimate_without_statistics = 0.0f;
    for (const Variant variant : {Variant{RawMode::None, false}, Variant{RawMode::None, true},
                                  Variant{RawMode::F32, false}, Variant{RawMode::F32, true},
                                  Variant{RawMode::I8, true}}) {
        SCOPED_TRACE(::testing::Message() << "raw mode " << int(static_cast<std::uint8_t>(variant.raw_mode)) << " calibrated "
                                           << variant.calibrated);
        const Bytes image = editedEmptyImage(variant, mean, std);
        const std::string file = path("variant.kvx");
        FILE* out = std::fopen(file.c_str(), "wb");
        std::fwrite(image.data(), 1, image.size(), out);
        std::fclose(out);
        korvane_index* handle = korvane_index_load(file.c_str());
        ASSERT_NE(handle, nullptr);
        const Index& index = *fromHandle(handle);
        ASSERT_EQ(index.raw_mode, variant.raw_mode);
        ASSERT_EQ(index.calibrated, variant.calibrated);
        ASSERT_EQ(korvane_index_add(handle, 7, vector), 0);

        float rotated[256];
        rotateVector(index.rotation, vector, rotated);
        const float* m = variant.calibrated ? mean.data() : nullptr;
        const float* s = variant.calibrated ? std.data() : nullptr;
        EXPECT_TRUE(samePayload(index.payloads[0], encodeWithCalibration(7, rotated, m, s)));
        EXPECT_EQ(index.raw_f32.len, variant.raw_mode == RawMode::F32 ? 256u : 0u);
        EXPECT_EQ(index.raw_i8.len, variant.raw_mode == RawMode::I8 ? 256u : 0u);
        if (variant.raw_mode == RawMode::F32) {
            EXPECT_EQ(std::memcmp(index.raw_f32.data, rotated, 1024), 0);
        }

        const Results found = searchFor(handle, query, 1);
        ASSERT_EQ(found.ids, std::vector<std::uint64_t>{7});
        EXPECT_EQ(found.scores[0], expectedScore(index, query, variant));
        if (variant.raw_mode == RawMode::None && !variant.calibrated) estimate_without_statistics = found.scores[0];
        if (variant.raw_mode == RawMode::None && variant.calibrated) {
            EXPECT_NE(found.scores[0], estimate_without_statistics);
        }

        ASSERT_EQ(korvane_index_save(handle, file.c_str()), 0);
        korvane_index_destroy(handle);
        korvane_index* reloaded = korvane_index_load(file.c_str());
        ASSERT_NE(reloaded, nullptr);
        EXPECT_EQ(searchFor(reloaded, query, 1), found);
        korvane_index_destroy(reloaded);
    }
}

}  // namespace
}  // namespace korvane
