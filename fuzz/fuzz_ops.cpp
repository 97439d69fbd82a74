// libFuzzer target: the input is a sequence of operations on the C interface,
// checked step by step against a model (see op_harness.h).
#include <cstdio>
#include <cstdlib>

#include "op_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvane::harness::ByteSource source{data, size};
    korvane::harness::Harness harness;
    harness.run(source);
    if (!harness.failure.empty()) {
        std::fprintf(stderr, "model mismatch: %s\n", harness.failure.c_str());
        std::abort();
    }
    return 0;
}
