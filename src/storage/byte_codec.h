// Little-endian field encoding. Scalars are encoded byte by byte; arrays of
// floats and integers are block-copied, which is the same encoding on the
// little-endian hosts this library builds for.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvane {

static_assert(std::endian::native == std::endian::little,
              "index files are little-endian and arrays are block-copied");

inline std::uint64_t loadUint(const std::uint8_t* p, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= std::uint64_t{p[i]} << (8 * i);
    return v;
}
inline std::uint16_t loadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(loadUint(p, 2)); }
inline std::uint32_t loadU24(const std::uint8_t* p) { return static_cast<std::uint32_t>(loadUint(p, 3)); }
inline std::uint32_t loadU32(const std::uint8_t* p) { return static_cast<std::uint32_t>(loadUint(p, 4)); }
inline std::uint64_t loadU64(const std::uint8_t* p) { return loadUint(p, 8); }
inline float loadF32(const std::uint8_t* p) { return std::bit_cast<float>(loadU32(p)); }

// Appends fields at a cursor into memory the caller has made room for.
struct ByteWriter {
    std::uint8_t* at;

    void u8(std::uint8_t v) { *at++ = v; }
    void u16(std::uint16_t v) { uint(v, 2); }
    void u24(std::uint32_t v) { uint(v, 3); }
    void u32(std::uint32_t v) { uint(v, 4); }
    void u64(std::uint64_t v) { uint(v, 8); }
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    void bytes(const void* src, std::size_t count) {
        if (count) std::memcpy(at, src, count);
        at += count;
    }

  private:
    void uint(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
        at += width;
    }
};

}  // namespace korvane
