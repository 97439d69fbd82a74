// Fuzz inputs for the loader. The first byte chooses the form of the rest:
// odd means a compact image, which is a whole index image without its
// 1.3 MB matrix block (the harness inserts fixed matrices), so that the
// fuzzer spends its mutations on the structured parts; even means the rest
// is a whole image as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::fuzzing {

struct ImageView {
    const std::uint8_t* data;
    std::size_t len;
};

// The image a fuzz input stands for. It stays valid until the next call;
// under the address sanitizer every byte past its end is poisoned.
ImageView imageOfInput(const std::uint8_t* data, std::size_t size);

// The compact fuzz input (form byte included) of a whole image.
std::vector<std::uint8_t> compactInput(const std::vector<std::uint8_t>& image);

}  // namespace korvane::fuzzing
