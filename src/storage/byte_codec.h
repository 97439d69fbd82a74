// Little-endian field encoding over raw byte buffers. Scalars are encoded
// byte by byte; arrays of floats and integers are block-copied, which is the
// same encoding on the little-endian hosts this library builds for.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvane {

static_assert(std::endian::native == std::endian::little,
              "index files are little-endian and arrays are block-copied");

// Appends fields at a cursor into a buffer the caller has sized exactly.
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

// Reads fields from an input of known length. The readers are unchecked:
// callers ask `has` before every field, so a damaged count can never move
// the cursor past the end.
struct ByteReader {
    const std::uint8_t* data;
    std::size_t len;
    std::size_t pos = 0;

    std::size_t remaining() const { return len - pos; }
    bool has(std::size_t count) const { return count <= len - pos; }
    // True when `count` records of `width` bytes each fit in what remains.
    bool hasRecords(std::uint64_t count, std::size_t width) const {
        return count <= remaining() / width;
    }

    std::uint8_t u8() { return data[pos++]; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(uint(2)); }
    std::uint32_t u24() { return static_cast<std::uint32_t>(uint(3)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(uint(4)); }
    std::uint64_t u64() { return uint(8); }
    float f32() { return std::bit_cast<float>(u32()); }
    const std::uint8_t* take(std::size_t count) {
        const std::uint8_t* start = data + pos;
        pos += count;
        return start;
    }

  private:
    std::uint64_t uint(int width) {
        std::uint64_t v = 0;
        for (int i = 0; i < width; ++i) v |= std::uint64_t{data[pos + i]} << (8 * i);
        pos += width;
        return v;
    }
};

}  // namespace korvane
