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
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/memory.h"
#include "storage/byte_sink.h"
#include "storage/byte_source.h"
#include "storage/file_transfer.h"
#include "storage/format.h"
#include "storage/image_stream.h"

namespace korvane {
namespace {

constexpr int kMaxSymlinkHops = 40;
constexpr int kTemporaryNameAttempts = 100;
// Staging for the encoded small fields; large blocks bypass it.
constexpr std::size_t kStagingBytes = std::size_t{1} << 20;

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

// The kernel's rule for links in shared directories, applied to the links
// followed here: in a sticky directory that everyone may write, a link is
// followed only for its owner or the directory's owner, so that nobody can
// plant a link there that steers another user's save onto a file of theirs.
bool mayFollowLink(const Target& target) {
    struct stat dir, link;
    if (fstat(target.dir_fd, &dir) != 0) return false;
    if (fstatat(target.dir_fd, target.name, &link, AT_SYMLINK_NOFOLLOW) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || link.st_uid == geteuid() || link.st_uid == dir.st_uid;
}

// Follows symbolic links at the last component, so that the link keeps
// pointing at the file and the file itself is replaced. (The kernel follows
// those in the directory part and applies its own rules there.)
bool resolveTarget(const char* path, Target& target) {
    if (!openParent(AT_FDCWD, path, target)) return false;
    for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
        char link[PATH_MAX];
        const ssize_t len = readlinkat(target.dir_fd, target.name, link, sizeof link);
        if (len < 0) return errno == EINVAL || errno == ENOENT;  // a plain file, or none yet
        if (std::size_t(len) >= sizeof link || !mayFollowLink(target)) return false;
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

// A new file beside the target; O_EXCL makes concurrent saves pick distinct
// names. Only its owner may open it until the image is complete.
int createTemporary(const Target& target, char* tmp_name) {
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        temporaryName(target.name, nameEntropy(attempt), tmp_name);
        const int fd = openRetrying(target.dir_fd, tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The process's umask, read without changing it (setting it to learn it
// would race with files other threads create). Where it cannot be read,
// the file stays private.
mode_t currentUmask() {
    constexpr mode_t kUnknown = 077;
    const int fd = openRetrying(AT_FDCWD, "/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kUnknown;
    char text[4096];
    const long got = readSome(fd, reinterpret_cast<std::uint8_t*>(text), sizeof text - 1);
    close(fd);
    if (got <= 0) return kUnknown;
    text[got] = '\0';
    const char* line = std::strstr(text, "\nUmask:");
    unsigned mask = 0;
    return line && std::sscanf(line + 7, "%o", &mask) == 1 ? mode_t(mask & 0777) : kUnknown;
}

// Widened when the image is complete: the old file's permission bits (and,
// where the process may, its owner), or 0666 less the umask for a new file.
bool takeFinalOwnerAndMode(int fd, bool exists, const struct stat& existing) {
    if (!exists) return fchmod(fd, 0666 & ~currentUmask()) == 0;
    if (existing.st_uid != geteuid() || existing.st_gid != getegid())
        (void)fchown(fd, existing.st_uid, existing.st_gid);
    return fchmod(fd, existing.st_mode & 0777) == 0;
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
// cannot flush a directory (EINVAL, or read-only mounts) leave it in place as is.
bool syncDirectory(const Target& target) {
    if (!target.dir_syncable) return true;
    return syncRetrying(target.dir_fd) || errno == EINVAL || errno == EROFS;
}

bool writeImageTo(int fd, const Index& index, std::uint8_t* staging) {
    FileSink sink{fd, staging, kStagingBytes};
    writeImage(index, nullptr, sink);
    return sink.finish();
}

bool writeReplacement(const Target& target, const Index& index, std::uint8_t* staging) {
    struct stat existing;
    bool exists = false;
    if (!inspectTarget(target, existing, exists)) return false;
    char tmp_name[NAME_MAX + 1];
    const int fd = createTemporary(target, tmp_name);
    if (fd < 0) return false;
    bool ok = writeImageTo(fd, index, staging) && takeFinalOwnerAndMode(fd, exists, existing) && syncRetrying(fd);
    ok = closeChecked(fd) && ok;
    ok = ok && renameat(target.dir_fd, tmp_name, target.dir_fd, target.name) == 0;
    if (!ok) {
        unlinkat(target.dir_fd, tmp_name, 0);
        return false;
    }
    return syncDirectory(target);
}

bool replaceFile(const char* path, const Index& index, std::uint8_t* staging) {
    Target target;
    const bool ok = resolveTarget(path, target) && writeReplacement(target, index, staging);
    closeTarget(target);
    return ok;
}

// ---- Reading ------------------------------------------------------------------

// For what cannot be read by position (pipes, devices): only as far as the
// image goes, checked as the bytes arrive.
Error loadStream(int fd, LoadedIndex& loaded) {
    StreamSource source{fd};
    const Error result = readImage(source, loaded);
    source.deinit();
    return result;
}

// A regular file is read piecewise straight into the index being built.
Error loadRegular(int fd, std::size_t size, LoadedIndex& loaded) {
    const std::size_t staging_bytes = std::clamp(size, kMaxTake, kStagingBytes);
    std::uint8_t* staging = allocateArray<std::uint8_t>(staging_bytes);
    if (!staging) return Error::OutOfMemory;
    FileSource source{fd, size, staging, staging_bytes};
    const Error result = readImage(source, loaded);
    releaseArray(staging);
    return result;
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

Error saveIndex(const Index& index, const char* path) {
    if (!pathFits(path)) return Error::InvalidArgument;
    std::uint8_t* staging = allocateArray<std::uint8_t>(kStagingBytes);
    if (!staging) return Error::OutOfMemory;
    const bool saved = replaceFile(path, index, staging);
    releaseArray(staging);
    return saved ? Error::Ok : Error::IoFailure;
}

Index* loadIndex(const char* path, bool any_shape) {
    if (!pathFits(path)) return nullptr;
    const int fd = openRetrying(AT_FDCWD, path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    LoadedIndex loaded;
    Error result = Error::CorruptFile;
    if (fstat(fd, &info) == 0)
        result = S_ISREG(info.st_mode) ? loadRegular(fd, std::size_t(info.st_size), loaded) : loadStream(fd, loaded);
    close(fd);
    if (result == Error::Ok && !any_shape && !loaded.index.shape.isDefault()) {
        deinit(loaded);
        result = Error::DimensionMismatch;
    }
    if (result != Error::Ok) return nullptr;
    loaded.node_metadata.deinit();
    loaded.metadata_bytes.deinit();
    return moveToRecord(loaded.index);
}

}  // namespace korvane
