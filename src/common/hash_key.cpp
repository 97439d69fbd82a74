#include "common/hash_key.h"

#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace korvane {
namespace {

bool fromGetrandom(HashKey& key) {
    ssize_t got;
    do got = getrandom(&key, sizeof key, GRND_NONBLOCK);
    while (got < 0 && errno == EINTR);
    return got == ssize_t(sizeof key);
}

bool fromDevice(HashKey& key) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t got;
    do got = read(fd, &key, sizeof key);
    while (got < 0 && errno == EINTR);
    close(fd);
    return got == ssize_t(sizeof key);
}

std::uint64_t splitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Not secret, but different per process and run: the clock, the process id
// and the addresses that address-space randomisation moves.
HashKey fromCircumstances() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t state = std::uint64_t(now.tv_nsec) ^ (std::uint64_t(now.tv_sec) << 32) ^
                          (std::uint64_t(getpid()) << 16) ^ reinterpret_cast<std::uintptr_t>(&now) ^
                          reinterpret_cast<std::uintptr_t>(&processHashKey);
    const std::uint64_t k0 = splitMix(state);
    return HashKey{k0, splitMix(state)};
}

HashKey drawKey() {
    HashKey key{};
    if (fromGetrandom(key) || fromDevice(key)) return key;
    return fromCircumstances();
}

}  // namespace

const HashKey& processHashKey() {
    static const HashKey key = drawKey();
    return key;
}

}  // namespace korvane
