// Sequential reading of a binary file with every read checked against its
// size, so a truncated or damaged file becomes a one-line error, never a
// short read that goes unnoticed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace korvane::tool {

class BinaryFile {
public:
    explicit BinaryFile(const std::string& path);  // throws Failure when it cannot be opened
    ~BinaryFile();
    BinaryFile(const BinaryFile&) = delete;
    BinaryFile& operator=(const BinaryFile&) = delete;

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    std::uint64_t position() const { return position_; }
    std::uint64_t remaining() const { return size_ - position_; }

    // Reads exactly `bytes` bytes; throws Failure naming `what` when the file ends first.
    void read(void* out, std::uint64_t bytes, const char* what);
    void skip(std::uint64_t bytes, const char* what);
    std::uint64_t readU64(const char* what);
    std::uint32_t readU32(const char* what);
    std::uint16_t readU16(const char* what);
    std::uint8_t readU8(const char* what);

private:
    [[noreturn]] void truncated(const char* what) const;

    std::string path_;
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
};

// Throws Failure when a file cannot be created or fully written.
void writeWholeFile(const std::string& path, const void* data, std::uint64_t bytes);

}  // namespace korvane::tool
