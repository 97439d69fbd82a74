// korvane: command-line front end over the public C interface.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "korvane.h"

namespace {

int runDemo() {
    const auto start = std::chrono::steady_clock::now();
    korvane_index* index = korvane_index_create(200, 42);
    const auto stop = std::chrono::steady_clock::now();
    if (!index) {
        std::fprintf(stderr, "korvane: could not create an index (out of memory)\n");
        return 1;
    }
    const double ms = std::chrono::duration<double, std::milli>(stop - start).count();
    std::printf("created an empty index: %llu bytes estimated, %.1f ms\n",
                static_cast<unsigned long long>(korvane_index_memory_bytes(index)), ms);
    korvane_index_destroy(index);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "demo") == 0) return runDemo();
    std::fprintf(stderr, "usage: korvane [demo]\n");
    return 2;
}
