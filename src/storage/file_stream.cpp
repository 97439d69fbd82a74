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

bool StreamSource::fill(std::size_t count) {
    // A read asks for at least this much, so small fields cost no call each.
    constexpr std::size_t kReadAhead = std::size_t{64} << 10;
    const std::size_t wanted = pos + count;
    while (buffer.len < wanted) {
        if (ended) return false;
        const std::size_t missing = wanted - buffer.len;
        const std::size_t grow = std::max(kReadAhead, std::min(missing, buffer.len));
        if (!buffer.reserveMore(grow)) {
            ended = true;
            return false;
        }
        const std::size_t ask = std::min(buffer.cap - buffer.len, std::max(missing, kReadAhead));
        const long got = readSome(fd, buffer.data + buffer.len, ask);
        if (got > 0) buffer.len += std::size_t(got);
        io_failed = got < 0;
        ended = got <= 0;
    }
    return true;
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
