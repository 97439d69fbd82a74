// The secret that places keys in hash maps. Drawn once per process from the
// operating system, so that nobody outside the process can choose keys that
// land in one probe run (ids from a caller or a file would otherwise make
// every insertion and lookup walk the same run).
#pragma once

#include <cstdint>

namespace korvane {

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

// The same for the whole process; the first call reads the system's random
// source and falls back to clock, addresses and process id if that fails.
const HashKey& processHashKey();

}  // namespace korvane
