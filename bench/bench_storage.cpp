// Save and load of a 100k-vector index against plain file transfers of the
// same number of bytes in the same run: writing them and flushing, and
// reading them back (into a new buffer, as a load must, and into a buffer
// that is already mapped).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "api/handles.h"
#include "index/index.h"
#include "korvane.h"
#include "storage/file_io.h"
#include "storage/format.h"
#include "support/test_support.h"

namespace korvane {
namespace {

constexpr std::uint64_t kVectors = 100000;

// A real index: 100k clustered vectors added in one batch, a few removed.
struct Fixture {
    Index* index = nullptr;
    std::string dir;
    std::string index_path;
    std::string plain_path;
    std::vector<std::uint8_t> bytes;  // the image, as plain data to transfer

    Fixture();
    ~Fixture();
};

Index* buildIndex() {
    korvane_index* handle = korvane_index_create(64, 11);
    const std::vector<float> vectors = testing::clusteredVectors(kVectors, 256, 0.5f, 11);
    std::vector<std::uint64_t> ids(kVectors);
    for (std::uint64_t k = 0; k < kVectors; ++k) ids[k] = k * 7 + 3;
    if (korvane_index_add_batch(handle, ids.data(), vectors.data(), kVectors, 2) != 0) std::abort();
    for (std::uint64_t k = 0; k < kVectors; k += 1000) korvane_index_remove(handle, ids[k]);
    return fromHandle(handle);
}

Fixture::Fixture() {
    index = buildIndex();
    char pattern[] = "/tmp/korvane-bench-XXXXXX";
    dir = mkdtemp(pattern);
    index_path = dir + "/index.kvx";
    plain_path = dir + "/plain.bin";
    Vec<std::uint8_t> image;
    if (serialize(*index, nullptr, image) != Error::Ok) std::abort();
    bytes.assign(image.data, image.data + image.len);
    image.deinit();
    if (saveIndex(*index, index_path.c_str()) != Error::Ok) std::abort();
}

Fixture::~Fixture() {
    destroyIndex(index);
    std::filesystem::remove_all(dir);
}

Fixture& fixture() {
    static Fixture f;
    return f;
}

void setBytes(benchmark::State& state) {
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(fixture().bytes.size()));
}

void saveBench(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state)
        if (saveIndex(*f.index, f.index_path.c_str()) != Error::Ok) state.SkipWithError("save failed");
    setBytes(state);
}

void plainWriteAndFlush(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        const int fd = open(f.plain_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::size_t done = 0;
        while (done < f.bytes.size()) {
            const ssize_t n = write(fd, f.bytes.data() + done, f.bytes.size() - done);
            if (n <= 0) break;
            done += std::size_t(n);
        }
        fsync(fd);
        close(fd);
    }
    setBytes(state);
}

void loadBench(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        Index* loaded = loadIndex(f.index_path.c_str());
        if (!loaded) state.SkipWithError("load failed");
        destroyIndex(loaded);
    }
    setBytes(state);
}

void readInto(const std::string& path, std::uint8_t* buffer, std::size_t len) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = read(fd, buffer + done, len - done);
        if (n <= 0) break;
        done += std::size_t(n);
    }
    close(fd);
}

void plainReadNewBuffer(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        auto* buffer = static_cast<std::uint8_t*>(std::malloc(f.bytes.size()));
        readInto(f.index_path, buffer, f.bytes.size());
        benchmark::DoNotOptimize(buffer[f.bytes.size() - 1]);
        std::free(buffer);
    }
    setBytes(state);
}

void plainReadMappedBuffer(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<std::uint8_t> buffer(f.bytes.size(), 1);
    for (auto _ : state) {
        readInto(f.index_path, buffer.data(), buffer.size());
        benchmark::DoNotOptimize(buffer.back());
    }
    setBytes(state);
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            seconds[run.benchmark_name()] = run.GetAdjustedRealTime() / 1e3;  // unit: ms
    }
};

void printRatios(const RatioReporter& reporter) {
    const auto time = [&](const char* name) {
        for (const auto& [key, value] : reporter.seconds)
            if (key.rfind(name, 0) == 0) return value;
        return 0.0;
    };
    const double mb = double(fixture().bytes.size()) / 1e6;
    std::printf("\nimage: %.1f MB for %llu vectors\n", mb, static_cast<unsigned long long>(kVectors));
    const double save = time("save"), write = time("plain/write_fsync");
    const double load = time("load"), fresh = time("plain/read_new_buffer"), warm = time("plain/read_mapped_buffer");
    if (save > 0 && write > 0)
        std::printf("save  %7.1f ms %7.1f MB/s   plain write+fsync %7.1f ms   ratio %.2fx\n", save * 1e3,
                    mb / save, write * 1e3, save / write);
    if (load > 0 && fresh > 0 && warm > 0)
        std::printf("load  %7.1f ms %7.1f MB/s   plain read %7.1f ms (new buffer), %7.1f ms (mapped)   "
                    "ratio %.2fx / %.2fx\n",
                    load * 1e3, mb / load, fresh * 1e3, warm * 1e3, load / fresh, load / warm);
}

void registerAll() {
    const auto io = [](benchmark::internal::Benchmark* b) {
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(4);
    };
    io(benchmark::RegisterBenchmark("save", saveBench));
    io(benchmark::RegisterBenchmark("plain/write_fsync", plainWriteAndFlush));
    io(benchmark::RegisterBenchmark("load", loadBench));
    io(benchmark::RegisterBenchmark("plain/read_new_buffer", plainReadNewBuffer));
    io(benchmark::RegisterBenchmark("plain/read_mapped_buffer", plainReadMappedBuffer));
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    korvane::registerAll();
    korvane::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    korvane::printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
