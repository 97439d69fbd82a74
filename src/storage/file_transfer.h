// Whole transfers over POSIX read and write calls: short transfers are
// continued and interrupted calls retried.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace korvane {

// Exactly `count` bytes from file offset `offset`; false on error or end of file.
bool readFullyAt(int fd, std::uint8_t* into, std::size_t count, std::size_t offset);

// Reads at the current position until end of file or `count` bytes; the
// number read, or -1 on error.
long readSome(int fd, std::uint8_t* into, std::size_t count);

// Writes all parts in order at the current position; `parts` is consumed.
bool writeAllV(int fd, iovec* parts, int count);
bool writeAll(int fd, const std::uint8_t* data, std::size_t len);

}  // namespace korvane
