#include "binary_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

namespace {

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAndSync(int fd, const void* data, std::uint64_t bytes) {
    const char* at = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t written = ::write(fd, at, bytes);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += written;
        bytes -= static_cast<std::uint64_t>(written);
    }
    return fsync(fd) == 0;
}

}  // namespace

// Written beside the target and renamed over it only when complete: a full
// disk never leaves a partial file that reads as a shorter valid data set,
// and an existing file stays as it was until then.
void writeWholeFile(const std::string& path, const void* data, std::uint64_t bytes) {
    std::string temporary = directoryOf(path) + "/.korvane-XXXXXX";
    const int fd = mkstemp(temporary.data());  // private until complete
    if (fd < 0) throw Failure(systemError("create a file in", directoryOf(path)));
    const mode_t mask = umask(0);
    umask(mask);
    std::string failure;
    if (!writeAndSync(fd, data, bytes) || fchmod(fd, 0666 & ~mask) != 0) failure = systemError("write", path);
    if (close(fd) != 0 && failure.empty()) failure = systemError("write", path);
    if (failure.empty() && std::rename(temporary.c_str(), path.c_str()) != 0)
        failure = systemError("replace", path);
    if (failure.empty()) return;
    unlink(temporary.c_str());
    throw Failure(failure);
}

}  // namespace korvane::tool
