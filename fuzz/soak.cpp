// Long-running differential test: random operation sequences against the
// model, reporting throughput and the first mismatch. Runs until stopped or
// for the given number of seconds.
//   korvane_soak [seconds] [seed]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/random.h"
#include "op_harness.h"

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3600.0;
    std::uint64_t state = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    std::uint64_t operations = 0, sequences = 0;
    double next_report = 10.0;
    std::vector<std::uint8_t> bytes(4096);
    while (elapsed() < seconds) {
        for (auto& b : bytes) b = std::uint8_t(korvane::splitMix64Next(state));
        korvane::harness::ByteSource source{bytes.data(), bytes.size()};
        korvane::harness::Harness harness;
        harness.run(source);
        operations += harness.operations;
        ++sequences;
        if (!harness.failure.empty()) {
            std::printf("MISMATCH in sequence %llu: %s\n", static_cast<unsigned long long>(sequences),
                        harness.failure.c_str());
            return 1;
        }
        if (elapsed() >= next_report) {
            std::printf("%.0f s: %llu sequences, %llu operations, %.0f operations/s, no mismatch\n", elapsed(),
                        static_cast<unsigned long long>(sequences), static_cast<unsigned long long>(operations),
                        double(operations) / elapsed());
            std::fflush(stdout);
            next_report += 10.0;
        }
    }
    std::printf("done: %llu sequences, %llu operations in %.0f s, no mismatch\n",
                static_cast<unsigned long long>(sequences), static_cast<unsigned long long>(operations), elapsed());
    return 0;
}
