// Save and load of index files over POSIX file calls.
//
// A save never writes into the file it replaces: the image goes to a new
// file in the same directory, is flushed to stable storage and then renamed
// over the target, so at every moment the path names either the complete old
// index or the complete new one.
#include "storage/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/memory.h"
#include "storage/format.h"

namespace korvane {
namespace {

constexpr int kMaxSymlinkHops = 40;
constexpr int kTemporaryNameAttempts = 100;
// Bytes per read or write call; far below what the kernel accepts at once.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// The NUL must lie within the first 1024 bytes; nothing past it is read.
bool pathFits(const char* path) { return strnlen(path, kMaxPathBytes + 1) <= kMaxPathBytes; }

int openRetrying(int dir_fd, const char* name, int flags, mode_t mode = 0) {
    int fd;
    do fd = openat(dir_fd, name, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// ---- Locating the file a save replaces -------------------------------------

// An open directory and the name of the file in it.
struct Target {
    int dir_fd = -1;
    bool dir_syncable = false;
    char name[NAME_MAX + 1];
};

void closeTarget(Target& target) {
    if (target.dir_fd >= 0) close(target.dir_fd);
    target.dir_fd = -1;
}

// Splits `path` (relative to `base_fd`) into its directory, opened, and its
// last component. A path ending in '/' names no file.
bool openParent(int base_fd, const char* path, Target& target) {
    const char* slash = std::strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    const std::size_t name_len = std::strlen(name);
    if (name_len == 0 || name_len > NAME_MAX) return false;
    std::memcpy(target.name, name, name_len + 1);

    char dir[PATH_MAX];
    const std::size_t dir_len = !slash ? 0 : slash == path ? 1 : std::size_t(slash - path);
    if (dir_len >= sizeof dir) return false;
    if (dir_len == 0) std::strcpy(dir, ".");
    else {
        std::memcpy(dir, path, dir_len);
        dir[dir_len] = '\0';
    }
    target.dir_fd = openRetrying(base_fd, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    target.dir_syncable = target.dir_fd >= 0;
    // A directory we may write but not list can still take the file; it only
    // cannot be flushed.
    if (target.dir_fd < 0 && errno == EACCES)
        target.dir_fd = openRetrying(base_fd, dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    return target.dir_fd >= 0;
}

// Follows symbolic links at the last component, so that the link keeps
// pointing at the file and the file itself is replaced.
bool resolveTarget(const char* path, Target& target) {
    if (!openParent(AT_FDCWD, path, target)) return false;
    for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
        char link[PATH_MAX];
        const ssize_t len = readlinkat(target.dir_fd, target.name, link, sizeof link);
        if (len < 0) return errno == EINVAL || errno == ENOENT;  // a plain file, or none yet
        if (std::size_t(len) >= sizeof link) return false;
        link[len] = '\0';
        Target next;
        const bool opened = openParent(target.dir_fd, link, next);
        closeTarget(target);
        target = next;
        if (!opened) return false;
    }
    return false;
}

// ---- Writing the replacement ------------------------------------------------

// The current state of the target: absent, or a regular file whose
// owner and mode the replacement takes over. Anything else is not replaced.
bool inspectTarget(const Target& target, struct stat& existing, bool& exists) {
    exists = fstatat(target.dir_fd, target.name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists) return errno == ENOENT;
    return S_ISREG(existing.st_mode);
}

std::uint64_t nameEntropy(int attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = std::uint64_t(now.tv_nsec) ^ (std::uint64_t(now.tv_sec) << 30) ^
                      (std::uint64_t(getpid()) << 40) ^ std::uint64_t(attempt) ^
                      reinterpret_cast<std::uintptr_t>(&now);
    x ^= x >> 31;
    x *= 0x9e3779b97f4a7c15ULL;
    return x ^ (x >> 29);
}

// ".<name>.<16 hex digits>.tmp", the name shortened to fit NAME_MAX.
void temporaryName(const char* name, std::uint64_t entropy, char* out) {
    constexpr std::size_t kDecoration = 1 + 1 + 16 + 4;
    std::size_t len = std::strlen(name);
    if (len > NAME_MAX - kDecoration) len = NAME_MAX - kDecoration;
    char* at = out;
    *at++ = '.';
    std::memcpy(at, name, len);
    at += len;
    *at++ = '.';
    for (int shift = 60; shift >= 0; shift -= 4) *at++ = "0123456789abcdef"[(entropy >> shift) & 15];
    std::memcpy(at, ".tmp", 5);
}

// A new file beside the target; O_EXCL makes concurrent saves pick distinct names.
int createTemporary(const Target& target, char* tmp_name) {
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        temporaryName(target.name, nameEntropy(attempt), tmp_name);
        const int fd = openRetrying(target.dir_fd, tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The replacement keeps the old file's permission bits (and, where the
// process may, its owner); a new file has 0666 less the umask.
bool adoptOwnerAndMode(int fd, const struct stat& existing) {
    if (existing.st_uid != geteuid() || existing.st_gid != getegid())
        (void)fchown(fd, existing.st_uid, existing.st_gid);
    return fchmod(fd, existing.st_mode & 0777) == 0;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        iovec chunk{const_cast<std::uint8_t*>(data), len < kMaxTransfer ? len : kMaxTransfer};
        const ssize_t written = writev(fd, &chunk, 1);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        len -= std::size_t(written);
    }
    return true;
}

bool syncRetrying(int fd) {
    int result;
    do result = fsync(fd);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// Some file systems report write-back errors only here; EINTR still closes.
bool closeChecked(int fd) { return close(fd) == 0 || errno == EINTR; }

// The rename is durable once the directory is flushed. File systems that
// cannot flush a directory say so with EINVAL; the file is then in place.
bool syncDirectory(const Target& target) {
    if (!target.dir_syncable) return true;
    return syncRetrying(target.dir_fd) || errno == EINVAL || errno == EROFS;
}

bool writeReplacement(const Target& target, const std::uint8_t* data, std::size_t len) {
    struct stat existing;
    bool exists = false;
    if (!inspectTarget(target, existing, exists)) return false;
    char tmp_name[NAME_MAX + 1];
    const int fd = createTemporary(target, tmp_name);
    if (fd < 0) return false;
    bool ok = (!exists || adoptOwnerAndMode(fd, existing)) && writeAll(fd, data, len) && syncRetrying(fd);
    ok = closeChecked(fd) && ok;
    ok = ok && renameat(target.dir_fd, tmp_name, target.dir_fd, target.name) == 0;
    if (!ok) {
        unlinkat(target.dir_fd, tmp_name, 0);
        return false;
    }
    return syncDirectory(target);
}

bool replaceFile(const char* path, const std::uint8_t* data, std::size_t len) {
    Target target;
    const bool ok = resolveTarget(path, target) && writeReplacement(target, data, len);
    closeTarget(target);
    return ok;
}

// ---- Reading ------------------------------------------------------------------

ssize_t readRetrying(int fd, std::uint8_t* into, std::size_t len) {
    ssize_t got;
    do got = read(fd, into, len < kMaxTransfer ? len : kMaxTransfer);
    while (got < 0 && errno == EINTR);
    return got;
}

// Reserves the file's size once; a file that grows meanwhile is still read to
// its end, through amortised growth.
bool readAll(int fd, Vec<std::uint8_t>& buffer) {
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        !buffer.reserve(std::size_t(info.st_size)))
        return false;
    for (;;) {
        if (buffer.len == buffer.cap) {
            std::uint8_t probe[4096];
            const ssize_t got = readRetrying(fd, probe, sizeof probe);
            if (got <= 0) return got == 0;
            if (!buffer.append(probe, std::size_t(got))) return false;
            continue;
        }
        const ssize_t got = readRetrying(fd, buffer.data + buffer.len, buffer.cap - buffer.len);
        if (got <= 0) return got == 0;
        buffer.len += std::size_t(got);
    }
}

Index* moveToRecord(Index& loaded) {
    void* record = allocateBytes(sizeof(Index));
    if (!record) {
        deinit(loaded);
        return nullptr;
    }
    return new (record) Index(loaded);
}

}  // namespace

int saveIndex(const Index& index, const char* path) {
    if (!pathFits(path)) return -1;
    Vec<std::uint8_t> image;
    if (serialize(index, nullptr, image) != Error::Ok) return -1;
    const bool saved = replaceFile(path, image.data, image.len);
    image.deinit();
    return saved ? 0 : -1;
}

Index* loadIndex(const char* path) {
    if (!pathFits(path)) return nullptr;
    const int fd = openRetrying(AT_FDCWD, path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    Vec<std::uint8_t> buffer;
    const bool read_whole = readAll(fd, buffer);
    close(fd);
    LoadedIndex loaded;
    const Error result = read_whole ? deserialize(buffer.data, buffer.len, loaded) : Error::CorruptFile;
    buffer.deinit();
    if (result != Error::Ok) return nullptr;
    loaded.node_metadata.deinit();
    loaded.metadata_bytes.deinit();
    return moveToRecord(loaded.index);
}

}  // namespace korvane
