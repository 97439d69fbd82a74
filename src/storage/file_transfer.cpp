#include "storage/file_transfer.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

namespace korvane {
namespace {

// Bytes per call; far below what the kernel accepts at once.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
constexpr int kMaxPartsPerCall = 4;

// Drops `done` written bytes from the front of the parts.
void advance(iovec* parts, int count, int& first, std::size_t done) {
    while (first < count && (done > 0 || parts[first].iov_len == 0)) {
        const std::size_t step = std::min(done, parts[first].iov_len);
        parts[first].iov_base = static_cast<std::uint8_t*>(parts[first].iov_base) + step;
        parts[first].iov_len -= step;
        done -= step;
        if (parts[first].iov_len == 0) ++first;
    }
}

}  // namespace

bool readFullyAt(int fd, std::uint8_t* into, std::size_t count, std::size_t offset) {
    while (count > 0) {
        const ssize_t got = pread(fd, into, std::min(count, kMaxTransfer), off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        into += got;
        count -= std::size_t(got);
        offset += std::size_t(got);
    }
    return true;
}

long readSome(int fd, std::uint8_t* into, std::size_t count) {
    ssize_t got;
    do got = read(fd, into, std::min(count, kMaxTransfer));
    while (got < 0 && errno == EINTR);
    return got;
}

bool writeAllV(int fd, iovec* parts, int count) {
    int first = 0;
    advance(parts, count, first, 0);
    while (first < count) {
        iovec call[kMaxPartsPerCall];
        int used = 0;
        std::size_t total = 0;
        for (int i = first; i < count && used < kMaxPartsPerCall && total < kMaxTransfer; ++i) {
            const std::size_t len = std::min(parts[i].iov_len, kMaxTransfer - total);
            call[used++] = iovec{parts[i].iov_base, len};
            total += len;
        }
        const ssize_t written = writev(fd, call, used);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        advance(parts, count, first, std::size_t(written));
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t len) {
    iovec part{const_cast<std::uint8_t*>(data), len};
    return writeAllV(fd, &part, 1);
}

}  // namespace korvane
