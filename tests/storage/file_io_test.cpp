#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/handles.h"
#include "korvane.h"
#include "storage/file_io.h"
#include "storage/index_builder.h"
#include "support/test_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> entriesOf(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

unsigned modeOf(const fs::path& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : ~0u;
}

constexpr uid_t kNobody = 65534;

// Runs `body` as a user without privileges: the superuser passes every
// permission check, so there the body runs in a child process that owns
// `dir` and has dropped its privileges.
template <class Body>
void asUnprivilegedUser(const fs::path& dir, Body body) {
    if (geteuid() != 0) return body();
    ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
    std::fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool dropped = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
        if (dropped) body();
        std::fflush(stdout);
        _exit(!dropped ? 2 : ::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "unprivileged part: status " << status;
}

// The largest permission bits of a temporary file in `dir`, as seen from a
// signal handler while a save is under way.
int g_watched_dir = -1;
unsigned g_temporary_mode = 0;

void recordTemporaryMode(int) {
    DIR* listing = fdopendir(dup(g_watched_dir));
    if (!listing) return;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        struct stat info;
        if (name.size() > 5 && name.ends_with(".tmp") && fstatat(g_watched_dir, entry->d_name, &info, 0) == 0)
            g_temporary_mode = std::max(g_temporary_mode, unsigned(info.st_mode & 07777));
    }
    closedir(listing);
}

class FileIo : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvane-storage-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        index_ = toHandle(testing::buildIndex({.nodes = 10, .removed = {3}}));
    }
    void TearDown() override {
        korvane_index_destroy(index_);
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }
    int save(const fs::path& path) { return korvane_index_save(index_, path.c_str()); }
    Bytes image() const { return testing::imageOf(*fromHandle(index_)); }

    fs::path dir_;
    korvane_index* index_ = nullptr;
};

TEST_F(FileIo, SaveLoadSaveGivesIdenticalFilesAndNothingElse) {
    ASSERT_EQ(save(dir_ / "a.kvx"), 0);
    EXPECT_EQ(readFile(dir_ / "a.kvx"), image());
    korvane_index* loaded = korvane_index_load((dir_ / "a.kvx").c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(korvane_index_len(loaded), 9u);
    ASSERT_EQ(korvane_index_save(loaded, (dir_ / "b.kvx").c_str()), 0);
    korvane_index_destroy(loaded);
    EXPECT_EQ(readFile(dir_ / "a.kvx"), readFile(dir_ / "b.kvx"));
    EXPECT_EQ(entriesOf(dir_), (std::vector<std::string>{"a.kvx", "b.kvx"}));

    korvane_index* empty = korvane_index_create(0, 1);
    ASSERT_EQ(korvane_index_save(empty, (dir_ / "empty.kvx").c_str()), 0);
    korvane_index_destroy(empty);
    EXPECT_EQ(fs::file_size(dir_ / "empty.kvx"), 1310774u);
}

// Big enough that records straddle the boundaries of the transfer buffers.
TEST_F(FileIo, LargeImagesRoundTripThroughPiecewiseTransfers) {
    Index* large = testing::buildIndex({.nodes = 6000, .raw_mode = RawMode::I8, .calibrated = true, .removed = {5, 4321}});
    const Bytes expected = testing::imageOf(*large);
    ASSERT_GT(expected.size() - 1310720, 2u << 20);
    const fs::path path = dir_ / "large.kvx";
    ASSERT_EQ(saveIndex(*large, path.c_str()), Error::Ok);
    destroyIndex(large);
    EXPECT_EQ(readFile(path), expected);
    Index* loaded = loadIndex(path.c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->live_count, 5998u);
    EXPECT_EQ(testing::imageOf(*loaded), expected);
    destroyIndex(loaded);
}

TEST_F(FileIo, TruncatedFilesAreRefused) {
    const fs::path path = dir_ / "cut.kvx";
    ASSERT_EQ(save(path), 0);
    const std::size_t size = fs::file_size(path);
    for (std::size_t len = size - 1; len > 0; len = len > 1310720 + 3000 ? len - 37 : len / 2) {
        ASSERT_EQ(truncate(path.c_str(), off_t(len)), 0);
        EXPECT_EQ(loadIndex(path.c_str()), nullptr) << len;
    }
}

TEST_F(FileIo, LoadsFromAPipe) {
    const fs::path path = dir_ / "pipe";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const Bytes expected = image();
    for (std::size_t len : {expected.size(), expected.size() - 1}) {
        std::thread writer([&] {
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(expected.data()), std::streamsize(len));
        });
        Index* loaded = loadIndex(path.c_str());
        writer.join();
        EXPECT_EQ(loaded != nullptr, len == expected.size());
        if (loaded) {
            EXPECT_EQ(testing::imageOf(*loaded), expected);
        }
        destroyIndex(loaded);
    }
}

TEST_F(FileIo, ReplacingAFileKeepsItsPermissionBitsAndANewFileFollowsTheUmask) {
    const fs::path old_file = dir_ / "old.kvx";
    writeFile(old_file, std::string(3000000, 'x'));
    ASSERT_EQ(chmod(old_file.c_str(), 0604), 0);
    ASSERT_EQ(save(old_file), 0);
    EXPECT_EQ(readFile(old_file), image());
    EXPECT_EQ(modeOf(old_file), 0604u);

    const mode_t previous = umask(027);
    const int saved = save(dir_ / "new.kvx");
    umask(previous);
    ASSERT_EQ(saved, 0);
    EXPECT_EQ(modeOf(dir_ / "new.kvx"), 0640u);
}

TEST_F(FileIo, SavingThroughSymbolicLinksReplacesTheirFinalTarget) {
    fs::create_directory(dir_ / "sub");
    writeFile(dir_ / "real.kvx", "old");
    fs::create_symlink("../real.kvx", dir_ / "sub" / "link");
    fs::create_symlink("sub/link", dir_ / "chain");
    ASSERT_EQ(save(dir_ / "chain"), 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "chain"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "sub" / "link"));
    EXPECT_EQ(readFile(dir_ / "real.kvx"), image());
    EXPECT_EQ(entriesOf(dir_ / "sub"), std::vector<std::string>{"link"});

    fs::create_symlink(dir_ / "sub" / "fresh.kvx", dir_ / "dangling");
    ASSERT_EQ(save(dir_ / "dangling"), 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));
    EXPECT_EQ(readFile(dir_ / "sub" / "fresh.kvx"), image());

    fs::create_symlink("loop", dir_ / "loop");
    EXPECT_EQ(save(dir_ / "loop"), -1);
}

// The write fails midway (the file size limit stops it), after the
// replacement has been created. The signal of that limit shows the
// replacement while it holds part of the image: only its owner may read it,
// even with a umask of 0 and an old file that everyone may read.
TEST_F(FileIo, AFailingWriteLeavesTheOldFileAndNoTemporaryFileAndNothingReadable) {
    const fs::path target = dir_ / "index.kvx";
    writeFile(target, "previous index");
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    rlimit previous_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous_limit), 0);
    rlimit small = previous_limit;
    small.rlim_cur = 65536;
    g_watched_dir = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    g_temporary_mode = 0;
    auto* previous_handler = signal(SIGXFSZ, recordTemporaryMode);
    const mode_t previous_umask = umask(0);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int saved = save(target);
    setrlimit(RLIMIT_FSIZE, &previous_limit);
    umask(previous_umask);
    signal(SIGXFSZ, previous_handler);
    close(g_watched_dir);
    EXPECT_EQ(g_temporary_mode, 0600u);
    EXPECT_EQ(saved, -1);
    EXPECT_EQ(readFile(target), Bytes(std::begin("previous index"), std::end("previous index") - 1));
    EXPECT_EQ(entriesOf(dir_), std::vector<std::string>{"index.kvx"});
}

TEST_F(FileIo, AReadOnlyDirectoryRefusesTheSaveAndKeepsTheOldFile) {
    asUnprivilegedUser(dir_, [&] {
        writeFile(dir_ / "index.kvx", "previous");
        fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(save(dir_ / "index.kvx"), -1);
        fs::permissions(dir_, fs::perms::owner_all);
        EXPECT_EQ(readFile(dir_ / "index.kvx"), Bytes({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
        EXPECT_EQ(entriesOf(dir_), std::vector<std::string>{"index.kvx"});
    });
}

// Where the kernel would refuse to follow a link (a sticky directory that
// everyone may write, a link owned by neither the saver nor the directory's
// owner), the save refuses too instead of overwriting what it points at.
TEST_F(FileIo, ALinkPlantedInASharedStickyDirectoryIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "only the superuser can give a link another owner";
    const fs::path shared = dir_ / "shared", link = shared / "out.kvx", victim = dir_ / "victim";
    fs::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    writeFile(victim, "victim");
    fs::create_symlink(victim, link);
    ASSERT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(save(link), -1);
    EXPECT_EQ(readFile(victim), Bytes({'v', 'i', 'c', 't', 'i', 'm'}));
    EXPECT_EQ(entriesOf(shared), std::vector<std::string>{"out.kvx"});

    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);  // not sticky
    EXPECT_EQ(save(link), 0);
    EXPECT_EQ(readFile(victim), image());
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(chown(shared.c_str(), kNobody, kNobody), 0);  // the directory's owner made the link
    EXPECT_EQ(save(link), 0);
    ASSERT_EQ(chown(shared.c_str(), 0, 0), 0);
    ASSERT_EQ(lchown(link.c_str(), 0, 0), 0);  // the saver's own link
    EXPECT_EQ(save(link), 0);
    EXPECT_TRUE(fs::is_symlink(link));
}

// A pipe whose writer never stops and a device without end: the load reads
// the image and no further, or stops at the first field that fails.
TEST_F(FileIo, StreamsThatNeverEndAreReadOnlyAsFarAsTheImage) {
    auto* previous_handler = signal(SIGPIPE, SIG_IGN);
    const fs::path path = dir_ / "pipe";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const Bytes valid = image();
    Bytes damaged = valid;
    damaged[8] ^= 1;  // degree
    for (const Bytes* prefix : {&valid, static_cast<const Bytes*>(&damaged)}) {
        std::thread writer([&] {
            const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            bool open_end = write(fd, prefix->data(), prefix->size()) == ssize_t(prefix->size());
            const std::vector<char> zeros(65536);
            while (open_end) open_end = write(fd, zeros.data(), zeros.size()) > 0;
            close(fd);
        });
        Index* loaded = loadIndex(path.c_str());
        writer.join();
        EXPECT_EQ(loaded != nullptr, prefix == &valid);
        if (loaded) {
            EXPECT_EQ(testing::imageOf(*loaded), valid);
        }
        destroyIndex(loaded);
    }
    signal(SIGPIPE, previous_handler);
    EXPECT_EQ(korvane_index_load("/dev/zero"), nullptr);
}

TEST_F(FileIo, PathsAreLimitedTo1023BytesAndNeverReadPastThe1024th) {
    std::string path = dir_.string() + "/";
    path.resize(1023 - 5, '/');
    path += "x.kvx";
    ASSERT_EQ(path.size(), 1023u);
    EXPECT_EQ(korvane_index_save(index_, path.c_str()), 0);
    korvane_index* loaded = korvane_index_load(path.c_str());
    EXPECT_NE(loaded, nullptr);
    korvane_index_destroy(loaded);

    const std::string too_long = "/" + path;
    EXPECT_EQ(korvane_index_save(index_, too_long.c_str()), -1);
    EXPECT_EQ(korvane_index_load(too_long.c_str()), nullptr);
    auto unterminated = std::make_unique<char[]>(1024);
    std::fill_n(unterminated.get(), 1024, 'a');
    EXPECT_EQ(korvane_index_save(index_, unterminated.get()), -1);
    EXPECT_EQ(korvane_index_load(unterminated.get()), nullptr);
}

TEST_F(FileIo, UnusablePathsAndFilesFail) {
    EXPECT_EQ(save(dir_ / "missing" / "x.kvx"), -1);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    EXPECT_EQ(save(dir_), -1);                     // a directory is not replaced
    EXPECT_EQ(save(dir_.string() + "/"), -1);      // names no file
    EXPECT_EQ(korvane_index_save(index_, ""), -1);

    EXPECT_EQ(korvane_index_load((dir_ / "absent").c_str()), nullptr);
    EXPECT_EQ(korvane_index_load(dir_.c_str()), nullptr);
    writeFile(dir_ / "empty", "");
    EXPECT_EQ(korvane_index_load((dir_ / "empty").c_str()), nullptr);
    writeFile(dir_ / "magic", "TQX5");
    EXPECT_EQ(korvane_index_load((dir_ / "magic").c_str()), nullptr);
    Bytes damaged = image();
    damaged[5] ^= 1;  // dimension
    writeFile(dir_ / "damaged", std::string(damaged.begin(), damaged.end()));
    EXPECT_EQ(korvane_index_load((dir_ / "damaged").c_str()), nullptr);
}

TEST_F(FileIo, EveryFailedAllocationOfASaveKeepsTheOldFile) {
    const fs::path target = dir_ / "index.kvx";
    writeFile(target, "previous");
    const auto before = allocationStats().outstanding;
    const std::uint64_t points = testing::sweepAllocationFailures([&](std::uint64_t) {
        const int saved = save(target);
        EXPECT_EQ(allocationStats().outstanding, before);
        if (saved != 0) {
            EXPECT_EQ(readFile(target).size(), 8u);
        }
        EXPECT_EQ(entriesOf(dir_), std::vector<std::string>{"index.kvx"});
        return saved == 0;
    });
    EXPECT_GE(points, 1u);
    EXPECT_EQ(readFile(target), image());
}

TEST_F(FileIo, EveryFailedAllocationOfALoadReturnsNullAndLeaksNothing) {
    const fs::path target = dir_ / "index.kvx";
    ASSERT_EQ(save(target), 0);
    const auto before = allocationStats().outstanding;
    const std::uint64_t points = testing::sweepAllocationFailures([&](std::uint64_t) {
        korvane_index* loaded = korvane_index_load(target.c_str());
        const bool ok = loaded != nullptr;
        korvane_index_destroy(loaded);
        EXPECT_EQ(allocationStats().outstanding, before);
        return ok;
    });
    EXPECT_GE(points, 15u);
}

TEST_F(FileIo, ConcurrentSavesOfOneIndexEachLeaveACompleteFile) {
    const fs::path target = dir_ / "index.kvx";
    std::vector<std::thread> savers;
    int results[4] = {-9, -9, -9, -9};
    for (int& result : results) savers.emplace_back([&] { result = save(target); });
    for (std::thread& saver : savers) saver.join();
    for (int result : results) EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(target), image());
    EXPECT_EQ(entriesOf(dir_), std::vector<std::string>{"index.kvx"});
}

}  // namespace
}  // namespace korvane
