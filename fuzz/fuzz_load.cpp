// Loader fuzzing: any input either is refused or gives an index that is
// consistent, can be saved and loaded again unchanged, answers a search with
// distinct live ids and takes an addition. Every input is also read from a
// file through a small transfer buffer and as a stream, which must give the
// same outcome as reading it from memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_forms.h"
#include "graph/invariants.h"
#include "index/context.h"
#include "index/insert.h"
#include "index/search.h"
#include "storage/byte_source.h"
#include "storage/format.h"
#include "storage/image_stream.h"

namespace korvane {
namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "loaded index violates: %s\n", what);
    std::abort();
}

// A staging buffer barely larger than the largest field, so that fields
// straddle its refills everywhere.
constexpr std::size_t kSmallStaging = 300;

int imageFile(const fuzzing::ImageView& image) {
    static const int fd = memfd_create("fuzz-image", MFD_CLOEXEC);
    require(fd >= 0, "memfd");
    require(ftruncate(fd, 0) == 0 && pwrite(fd, image.data, image.len, 0) == ssize_t(image.len), "memfd write");
    return fd;
}

Error loadThroughFile(const fuzzing::ImageView& image, LoadedIndex& out) {
    static std::uint8_t staging[kSmallStaging];
    FileSource source{imageFile(image), image.len, staging, kSmallStaging};
    return readImage(source, out);
}

// As a pipe or device is read: front to back, only as far as the checks ask.
Error loadThroughStream(const fuzzing::ImageView& image, LoadedIndex& out) {
    const int fd = imageFile(image);
    require(lseek(fd, 0, SEEK_SET) == 0, "memfd seek");
    StreamSource source{fd};
    const Error result = readImage(source, out);
    require(result != Error::Ok || source.pos <= image.len, "a stream is not read past its image");
    source.deinit();
    return result;
}

bool sameImage(const Index& a, const Index& b) {
    Vec<std::uint8_t> first, second;
    require(serialize(a, nullptr, first) == Error::Ok && serialize(b, nullptr, second) == Error::Ok, "serialize");
    const bool same = first.len == second.len && std::memcmp(first.data, second.data, first.len) == 0;
    first.deinit();
    second.deinit();
    return same;
}

void checkIdMap(const Index& index) {
    const std::uint64_t n = index.payloads.len;
    require(index.live_count == index.id_to_node.count, "live count equals the id map's size");
    std::uint64_t removed = 0;
    for (std::uint64_t k = 0; k < n; ++k) removed += isRemoved(index, k);
    require(removed + index.live_count == n, "every unremoved node is live under its own id");
    index.id_to_node.forEach([&](std::uint64_t id, std::uint64_t node) {
        require(node < n && !isRemoved(index, node), "ids map to unremoved nodes");
        require(index.payloads[node].id == id, "ids map to their own payloads");
    });
}

void checkResaveIsStable(const Index& index) {
    Vec<std::uint8_t> first;
    require(serialize(index, nullptr, first) == Error::Ok, "serialize");
    LoadedIndex again;
    require(deserialize(first.data, first.len, again) == Error::Ok, "a saved image loads");
    Vec<std::uint8_t> second;
    require(serialize(again.index, nullptr, second) == Error::Ok, "serialize again");
    require(first.len == second.len && std::memcmp(first.data, second.data, first.len) == 0,
            "save, load, save gives the same image");
    deinit(again);
    first.deinit();
    second.deinit();
}

// A vector of the index's dimension (a loaded file may be of any shape).
void fillVector(float* vector, std::uint64_t salt, std::size_t dim) {
    for (std::size_t i = 0; i < dim; ++i) vector[i] = float((i * 37 + salt * 11) % 101) / 50.0f - 1.0f;
}

void checkSearch(const Index& index) {
    constexpr std::size_t k = 8;
    SearchContext* context = createContext(index, 24);
    require(context != nullptr, "a context for the loaded index");
    float query[kMaxDim];
    fillVector(query, 1, index.shape.dim);
    SearchResult results[k];
    const std::size_t count = search(index, *context, query, results, k);
    destroyContext(context);
    require(count <= k && count <= index.live_count, "result count");
    for (std::size_t i = 0; i < count; ++i) {
        require(index.id_to_node.contains(results[i].id), "results are live ids");
        for (std::size_t j = 0; j < i; ++j) require(results[j].id != results[i].id, "results are distinct");
    }
}

// An addition either succeeds or fails leaving the index as it was. Any
// construction breadth a file sets is usable: insertion sizes its scratch by
// the node count, not by the breadth.
void checkAddition(Index& index) {
    std::uint64_t id = 0x5eed;
    while (index.id_to_node.contains(id)) ++id;
    float vector[kMaxDim];
    fillVector(vector, id, index.shape.dim);
    const std::uint64_t live = index.live_count;
    const Error status = addVector(index, id, vector);
    require(status != Error::DuplicateId, "a new id is not a duplicate");
    const bool added = status == Error::Ok;
    require(index.live_count == live + added && index.id_to_node.contains(id) == added, "the addition is live");
    require(checkGraphInvariants(index.graph, index.payloads.len), "graph invariants after an addition");
    checkIdMap(index);
}

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvane;
    const fuzzing::ImageView image = fuzzing::imageOfInput(data, size);
    LoadedIndex loaded, from_file, from_stream;
    const Error result = deserialize(image.data, image.len, loaded);
    require(loadThroughFile(image, from_file) == result, "a file and memory load alike");
    require(loadThroughStream(image, from_stream) == result, "a stream and memory load alike");
    if (result != Error::Ok) return 0;
    Index& index = loaded.index;
    require(checkGraphInvariants(index.graph, index.payloads.len), "graph invariants");
    checkIdMap(index);
    checkResaveIsStable(index);
    require(sameImage(index, from_file.index), "a file and memory load the same index");
    require(sameImage(index, from_stream.index), "a stream and memory load the same index");
    deinit(from_file);
    deinit(from_stream);
    checkSearch(index);
    checkAddition(index);
    checkSearch(index);
    checkResaveIsStable(index);
    deinit(loaded);
    return 0;
}
