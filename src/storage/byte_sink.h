// Where the image writer puts its bytes: a buffer in memory sized exactly in
// advance, or a file written through a staging buffer, so that saving never
// holds a second copy of the whole index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvane {

struct MemorySink {
    std::uint8_t* at;

    // Room for the next `count` bytes, filled by the caller at once.
    std::uint8_t* claim(std::size_t count) {
        std::uint8_t* start = at;
        at += count;
        return start;
    }
    void bytes(const void* src, std::size_t count) {
        if (count) std::memcpy(at, src, count);
        at += count;
    }
};

// Small fields are gathered in the staging buffer; large blocks are written
// from where they lie, together with what is staged, in one writev. The first
// failing write is latched and turns everything after it into no-ops.
struct FileSink {
    int fd;
    std::uint8_t* staging;
    std::size_t staging_cap;  // at least kMaxClaim
    std::size_t staged = 0;
    bool io_failed = false;

    static constexpr std::size_t kMaxClaim = 4096;

    std::uint8_t* claim(std::size_t count);  // count at most kMaxClaim
    void bytes(const void* src, std::size_t count);
    // Writes out what is staged; false when any write failed.
    bool finish();
};

}  // namespace korvane
