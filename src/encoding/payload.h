// The quantized form of one stored vector, and the array that keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/memory.h"
#include "common/shape.h"
#include "common/vec.h"

namespace korvane {

// One payload with room for the widest shape. An index keeps each one cut
// to its shape's `payloadBytes`: the fixed fields, then only the code groups
// the shape has, so a stored record is never read past its groups.
struct TurboQuantPayload {
    std::uint64_t id;
    float sigma;
    float mu;
    float gamma;
    std::uint32_t reserved;
    // Group g holds the 3-bit codes of components 8g..8g+7, component 8g+i at
    // bits 3i..3i+2; only the low 24 bits of a slot are used. Groups past the
    // shape's dimension are zero.
    std::uint32_t codes[kMaxCodeGroups];
};

constexpr std::size_t kPayloadFixedBytes = offsetof(TurboQuantPayload, codes);
static_assert(kPayloadFixedBytes == 24);

inline std::size_t payloadBytes(const Shape& shape) { return kPayloadFixedBytes + 4 * shape.codeGroups(); }

inline unsigned payloadCode(const TurboQuantPayload& p, std::size_t dim) {
    return (p.codes[dim >> 3] >> (3 * (dim & 7))) & 7u;
}

// Payloads in node order, each `stride` bytes (a multiple of 8). Grows like
// Vec, counted in records.
struct PayloadStore {
    unsigned char* data = nullptr;
    std::size_t len = 0;
    std::size_t cap = 0;
    std::size_t stride = 0;

    TurboQuantPayload& operator[](std::size_t i) { return *reinterpret_cast<TurboQuantPayload*>(data + i * stride); }
    const TurboQuantPayload& operator[](std::size_t i) const {
        return *reinterpret_cast<const TurboQuantPayload*>(data + i * stride);
    }

    bool reserve(std::size_t wanted) {
        if (wanted <= cap) return true;
        auto* grown = reinterpret_cast<unsigned char*>(allocateArray<std::uint64_t>(wanted * stride / 8));
        if (!grown) return false;
        preferHugePages(grown, wanted * stride);
        if (len) std::memcpy(grown, data, len * stride);
        releaseArray(reinterpret_cast<std::uint64_t*>(data));
        data = grown;
        cap = wanted;
        return true;
    }
    // Vec's growth policy, in records.
    static std::size_t grownCapacity(std::size_t cap, std::size_t needed) {
        return Vec<std::uint64_t>::grownCapacity(cap, needed);
    }
    std::size_t capacityAfter(std::size_t appends) const {
        std::size_t grown = cap;
        while (len + appends > grown) grown = grownCapacity(grown, len + (grown - len) + 1);
        return grown;
    }
    bool push(const TurboQuantPayload& payload) {
        if (len == cap && !reserve(grownCapacity(cap, len + 1))) return false;
        pushReserved(payload);
        return true;
    }
    // Copies the first `stride` bytes of the payload; room must be reserved.
    void pushReserved(const TurboQuantPayload& payload) {
        std::memcpy(data + len * stride, &payload, stride);
        ++len;
    }
    void truncate(std::size_t count) {
        if (count < len) len = count;
    }
    void deinit() {
        releaseArray(reinterpret_cast<std::uint64_t*>(data));
        data = nullptr;
        len = cap = 0;
    }
};

}  // namespace korvane
