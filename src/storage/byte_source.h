// Where the image reader takes its bytes from: a buffer in memory, a
// regular file read piecewise, so that loading never holds a second copy of
// the whole file, or a stream of unknown length (a pipe, a device).
//
// The reader asks `has` or `hasRecords` before every field, so a damaged
// count never moves the position past the end. The memory and file sources
// know the total length up front and only compare counts with what remains.
// A file that turns out shorter than its size said, or a read error, is
// latched in `failed`; the bytes handed out meanwhile are zeros, which the
// reader's checks handle like any other damaged content. The stream source
// reads only when asked, so each check runs as soon as its bytes arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/vec.h"

namespace korvane {

// Largest field `take` is asked for: a full list of 32 neighbour numbers.
constexpr std::size_t kMaxTake = 256;

struct MemorySource {
    const std::uint8_t* data;
    std::size_t len;
    std::size_t pos = 0;

    std::size_t remaining() const { return len - pos; }
    bool has(std::size_t count) const { return count <= len - pos; }
    bool hasRecords(std::uint64_t count, std::size_t width) const { return count <= remaining() / width; }
    bool failed() const { return false; }

    // The next `count` (at most kMaxTake) bytes, contiguous.
    const std::uint8_t* take(std::size_t count) {
        const std::uint8_t* start = data + pos;
        pos += count;
        return start;
    }
    void copyOut(void* dest, std::size_t count) {
        if (count) std::memcpy(dest, data + pos, count);
        pos += count;
    }
    // Passes over a block that copyFrom fetches later.
    std::size_t skip(std::size_t count) {
        const std::size_t at = pos;
        pos += count;
        return at;
    }
    void copyFrom(std::size_t at, void* dest, std::size_t count) { std::memcpy(dest, data + at, count); }
};

// Reads a regular file of known size with positioned reads through a
// caller-provided staging buffer; large blocks go straight to their
// destination.
struct FileSource {
    int fd;
    std::size_t len;
    std::uint8_t* staging;
    std::size_t staging_cap;  // at least kMaxTake
    std::size_t pos = 0;
    std::size_t staged_begin = 0;  // file offsets of the staged bytes
    std::size_t staged_end = 0;
    bool io_failed = false;

    std::size_t remaining() const { return len - pos; }
    bool has(std::size_t count) const { return count <= len - pos; }
    bool hasRecords(std::uint64_t count, std::size_t width) const { return count <= remaining() / width; }
    bool failed() const { return io_failed; }

    const std::uint8_t* take(std::size_t count);
    void copyOut(void* dest, std::size_t count);
    std::size_t skip(std::size_t count) {
        const std::size_t at = pos;
        pos += count;
        return at;
    }
    void copyFrom(std::size_t at, void* dest, std::size_t count);

  private:
    // Stages at least `count` bytes from `pos` on.
    void refill(std::size_t count);
};

// Reads a stream only as far as the reader has asked: the first failed
// check ends the load, and a stream that never ends is not read past the
// image. Every byte read stays in one buffer (the matrices are copied out
// last), which grows at most geometrically with what has arrived, so a count
// that promises more than the stream holds costs no more memory than the
// bytes actually sent.
struct StreamSource {
    int fd;
    Vec<std::uint8_t> buffer{};  // every byte read so far
    std::size_t pos = 0;
    bool ended = false;  // end of stream, read error or no memory to go on
    bool io_failed = false;

    bool has(std::size_t count) { return count <= buffer.len - pos || fill(count); }
    bool hasRecords(std::uint64_t count, std::size_t width) {
        // More bytes than memory can address cannot arrive either.
        return count <= (SIZE_MAX - pos) / width && has(count * width);
    }
    bool failed() const { return io_failed; }

    // `take` pointers stay valid only until the next `has`.
    const std::uint8_t* take(std::size_t count) {
        const std::uint8_t* start = buffer.data + pos;
        pos += count;
        return start;
    }
    void copyOut(void* dest, std::size_t count) {
        if (count) std::memcpy(dest, buffer.data + pos, count);
        pos += count;
    }
    std::size_t skip(std::size_t count) {
        const std::size_t at = pos;
        pos += count;
        return at;
    }
    void copyFrom(std::size_t at, void* dest, std::size_t count) { std::memcpy(dest, buffer.data + at, count); }
    void deinit() { buffer.deinit(); }

  private:
    // Reads until `count` bytes from `pos` on are buffered; false at the end
    // of the stream first.
    bool fill(std::size_t count);
};

}  // namespace korvane
