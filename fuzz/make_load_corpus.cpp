// Writes the loader's seed corpus: small valid images in compact form.
#include <cstdio>
#include <string>
#include <vector>

#include "image_forms.h"
#include "index/insert.h"
#include "storage/index_builder.h"
#include "support/test_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using korvane::RawMode;
using korvane::testing::BuildOptions;
using Bytes = std::vector<std::uint8_t>;

Bytes imageOf(const BuildOptions& options, void (*edit)(korvane::Index&) = nullptr) {
    korvane::Index* index = korvane::testing::buildIndex(options);
    if (edit) edit(*index);
    Bytes image = korvane::testing::imageOf(*index);
    korvane::destroyIndex(index);
    return image;
}

Bytes emptyWithLayers(std::uint32_t layers) {
    Bytes image = imageOf({.nodes = 0});
    korvane::testing::putU32(image, 40, layers);
    image.insert(image.end() - 8, 8 * layers, 0);
    return image;
}

// Ids that a fixed hash would send to one slot.
Bytes collidingIds() {
    return imageOf({.nodes = 64, .raw_mode = RawMode::None}, [](korvane::Index& index) {
        const std::vector<std::uint64_t> ids = korvane::testing::idsCollidingUnderFixedMix(64);
        for (std::uint64_t k = 0; k < 64; ++k) index.payloads[k].id = ids[k];
    });
}

// A graph as insertion builds it, with removals.
Bytes insertedImage() {
    korvane::Index* index = korvane::createIndex(32, 3);
    const std::vector<float> vectors = korvane::testing::clusteredVectors(40, 4, 0.3f, 8);
    for (std::uint64_t i = 0; i < 40; ++i) korvane::addVector(*index, 100 + i, &vectors[i * 256]);
    for (std::uint64_t id : {101, 117, 139}) korvane::removeId(*index, id);
    Bytes image = korvane::testing::imageOf(*index);
    korvane::destroyIndex(index);
    return image;
}

// An index of another shape, as additions build it (with removals): small
// enough to keep whole, since such files carry no matrices.
Bytes shapedImage(std::size_t dim, korvane::Metric metric, RawMode store) {
    korvane::Index* index = korvane::createIndex(32, 5, store, korvane::makeShape(dim, metric));
    const std::vector<float> vectors = korvane::testing::randomVectors((24 * dim + 255) / 256, 9);
    for (std::uint64_t i = 0; i < 24; ++i) korvane::addVector(*index, 500 + i, &vectors[i * dim]);
    for (std::uint64_t id : {503, 511}) korvane::removeId(*index, id);
    Bytes image = korvane::testing::imageOf(*index);
    korvane::destroyIndex(index);
    return image;
}

bool writeSeed(const std::string& dir, const char* name, const Bytes& image, bool whole = false) {
    Bytes input{0};
    if (whole) input.insert(input.end(), image.begin(), image.end());
    else input = korvane::fuzzing::compactInput(image);
    const std::string path = dir + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(input.data(), 1, input.size(), file) == input.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_load_corpus <directory>\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok =
        writeSeed(dir, "empty", imageOf({.nodes = 0})) &&
        writeSeed(dir, "shaped-l2-100-int8", shapedImage(100, korvane::Metric::Euclidean, RawMode::I8), true) &&
        writeSeed(dir, "shaped-cosine-3-f32", shapedImage(3, korvane::Metric::Cosine, RawMode::F32), true) &&
        writeSeed(dir, "shaped-ip-300-none", shapedImage(300, korvane::Metric::InnerProduct, RawMode::None), true) &&
        writeSeed(dir, "inserted-int8", insertedImage()) &&
        writeSeed(dir, "empty-two-layers", emptyWithLayers(2)) &&
        writeSeed(dir, "empty-32-layers", emptyWithLayers(32)) &&
        writeSeed(dir, "empty-33-layers", emptyWithLayers(33)) &&
        writeSeed(dir, "colliding-ids", collidingIds()) &&
        writeSeed(dir, "removals-int8", imageOf({.nodes = 12, .raw_mode = RawMode::I8, .removed = {3, 7}})) &&
        writeSeed(dir, "calibrated-int8", imageOf({.nodes = 6, .raw_mode = RawMode::I8, .calibrated = true})) &&
        writeSeed(dir, "raw-none", imageOf({.nodes = 5, .raw_mode = RawMode::None})) &&
        writeSeed(dir, "raw-f32-removed", imageOf({.nodes = 5, .raw_mode = RawMode::F32, .removed = {0}})) &&
        writeSeed(dir, "repeated-id", imageOf({.nodes = 5, .raw_mode = RawMode::None},
                                              [](korvane::Index& index) { index.payloads[3].id = 1001; }));
    if (!ok) std::fprintf(stderr, "make_load_corpus: could not write to %s\n", argv[1]);
    return ok ? 0 : 1;
}
