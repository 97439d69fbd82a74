#include "binary_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli_error.h"

namespace korvane::tool {

namespace {

std::string systemError(const std::string& action, const std::string& path) {
    return "cannot " + action + " " + path + ": " + std::strerror(errno);
}

}  // namespace

BinaryFile::BinaryFile(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) throw Failure(systemError("open", path));
    struct stat info {};
    if (fstat(fileno(file_), &info) != 0) {
        std::fclose(file_);
        throw Failure(systemError("read", path));
    }
    if (!S_ISREG(info.st_mode)) {
        std::fclose(file_);
        throw Failure("cannot read " + path + ": not a regular file");
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
}

BinaryFile::~BinaryFile() { std::fclose(file_); }

void BinaryFile::truncated(const char* what) const {
    throw Failure(path_ + ": file is truncated (ends inside the " + what + " at byte " +
                  std::to_string(position_) + ")");
}

void BinaryFile::read(void* out, std::uint64_t bytes, const char* what) {
    if (bytes > remaining()) truncated(what);
    if (bytes != 0 && std::fread(out, 1, bytes, file_) != bytes)
        throw Failure(systemError("read", path_));
    position_ += bytes;
}

void BinaryFile::skip(std::uint64_t bytes, const char* what) {
    if (bytes > remaining()) truncated(what);
    position_ += bytes;
    if (std::fseek(file_, static_cast<long>(position_), SEEK_SET) != 0)
        throw Failure(systemError("read", path_));
}

std::uint64_t BinaryFile::readU64(const char* what) {
    std::uint64_t value = 0;
    read(&value, sizeof value, what);
    return value;
}

std::uint32_t BinaryFile::readU32(const char* what) {
    std::uint32_t value = 0;
    read(&value, sizeof value, what);
    return value;
}

std::uint16_t BinaryFile::readU16(const char* what) {
    std::uint16_t value = 0;
    read(&value, sizeof value, what);
    return value;
}

std::uint8_t BinaryFile::readU8(const char* what) {
    std::uint8_t value = 0;
    read(&value, sizeof value, what);
    return value;
}

void writeWholeFile(const std::string& path, const void* data, std::uint64_t bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw Failure(systemError("create", path));
    const bool written = bytes == 0 || std::fwrite(data, 1, bytes, file) == bytes;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) throw Failure(systemError("write", path));
}

}  // namespace korvane::tool
