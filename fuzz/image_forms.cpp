#include "image_forms.h"

#include <sanitizer/asan_interface.h>

#include <cstring>

#include "index/index.h"
#include "storage/format.h"

namespace korvane::fuzzing {
namespace {

// Where the matrix block starts: after the header and, when the calibration
// flag is set, the calibration block.
std::size_t matrixOffset(const std::uint8_t* image, std::size_t len) {
    if (len < kHeaderBytes) return len;
    const std::size_t offset = kHeaderBytes + (image[kHeaderCalibratedAt] != 0 ? kCalibrationBytes : 0);
    return offset < len ? offset : len;
}

const std::uint8_t* fixedMatrices() {
    static std::vector<std::uint8_t> matrices = [] {
        std::vector<std::uint8_t> bytes(kMatrixBytes);
        Index* index = createIndex(32, 7);
        std::memcpy(bytes.data(), index->rotation, kRotationBytes);
        std::memcpy(bytes.data() + kRotationBytes, index->projection, kProjectionBytes);
        destroyIndex(index);
        return bytes;
    }();
    return matrices.data();
}

}  // namespace

// One buffer for all inputs: a fresh 1.3 MB allocation per input would cost
// more page faults than the load itself.
ImageView imageOfInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || (data[0] & 1) == 0) return ImageView{size ? data + 1 : data, size ? size - 1 : 0};
    static std::vector<std::uint8_t> buffer;
    const std::uint8_t* rest = data + 1;
    const std::size_t len = size - 1;
    ASAN_UNPOISON_MEMORY_REGION(buffer.data(), buffer.size());
    if (buffer.size() < len + kMatrixBytes) buffer.resize(len + kMatrixBytes);
    const std::size_t at = matrixOffset(rest, len);
    std::memcpy(buffer.data(), rest, at);
    std::memcpy(buffer.data() + at, fixedMatrices(), kMatrixBytes);
    if (len > at) std::memcpy(buffer.data() + at + kMatrixBytes, rest + at, len - at);
    ASAN_POISON_MEMORY_REGION(buffer.data() + len + kMatrixBytes, buffer.size() - len - kMatrixBytes);
    return ImageView{buffer.data(), len + kMatrixBytes};
}

std::vector<std::uint8_t> compactInput(const std::vector<std::uint8_t>& image) {
    const std::size_t at = matrixOffset(image.data(), image.size());
    std::vector<std::uint8_t> input{1};
    input.insert(input.end(), image.begin(), image.begin() + std::ptrdiff_t(at));
    input.insert(input.end(), image.begin() + std::ptrdiff_t(at + kMatrixBytes), image.end());
    return input;
}

}  // namespace korvane::fuzzing
