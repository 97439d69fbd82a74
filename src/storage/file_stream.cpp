// Piecewise file transfer for the image reader and writer.
#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include "storage/byte_sink.h"
#include "storage/byte_source.h"
#include "storage/file_transfer.h"

namespace korvane {

// ---- Reading ------------------------------------------------------------------

void FileSource::refill(std::size_t count) {
    std::size_t want = std::min(staging_cap, len - pos);
    if (want < count) want = count;
    staged_begin = pos;
    staged_end = pos + want;
    if (io_failed || !readFullyAt(fd, staging, want, pos)) {
        io_failed = true;
        std::memset(staging, 0, want);
    }
}

const std::uint8_t* FileSource::take(std::size_t count) {
    if (pos < staged_begin || pos + count > staged_end) refill(count);
    const std::uint8_t* start = staging + (pos - staged_begin);
    pos += count;
    return start;
}

void FileSource::copyOut(void* dest, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(dest);
    while (count > 0) {
        if (pos >= staged_begin && pos < staged_end) {
            const std::size_t n = std::min(count, staged_end - pos);
            std::memcpy(out, staging + (pos - staged_begin), n);
            out += n;
            pos += n;
            count -= n;
        } else if (count >= staging_cap) {
            copyFrom(pos, out, count);
            pos += count;
            count = 0;
        } else {
            refill(count);
        }
    }
}

void FileSource::copyFrom(std::size_t at, void* dest, std::size_t count) {
    if (io_failed || !readFullyAt(fd, static_cast<std::uint8_t*>(dest), count, at)) {
        io_failed = true;
        std::memset(dest, 0, count);
    }
}

// ---- Writing ------------------------------------------------------------------

std::uint8_t* FileSink::claim(std::size_t count) {
    if (staged + count > staging_cap) {
        if (!io_failed) io_failed = !writeAll(fd, staging, staged);
        staged = 0;
    }
    std::uint8_t* start = staging + staged;
    staged += count;
    return start;
}

void FileSink::bytes(const void* src, std::size_t count) {
    if (staged + count <= staging_cap) {
        if (count) std::memcpy(staging + staged, src, count);
        staged += count;
        return;
    }
    if (!io_failed) {
        iovec parts[2] = {{staging, staged}, {const_cast<void*>(src), count}};
        io_failed = !writeAllV(fd, parts, 2);
    }
    staged = 0;
}

bool FileSink::finish() {
    if (!io_failed && staged) io_failed = !writeAll(fd, staging, staged);
    staged = 0;
    return !io_failed;
}

}  // namespace korvane
