#include "index_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <cerrno>
#include <new>
#include <numeric>
#include <vector>

#include "conversion.h"
#include "errors.h"

namespace py = pybind11;

namespace korvane_py {
namespace {

struct StoreName {
    const char* name;
    uint32_t code;
};
constexpr StoreName kStores[] = {{"int8", KORVANE_STORE_I8}, {"f32", KORVANE_STORE_F32}, {"none", KORVANE_STORE_NONE}};

constexpr StoreName kMetrics[] = {
    {"ip", KORVANE_METRIC_IP}, {"cosine", KORVANE_METRIC_COSINE}, {"l2", KORVANE_METRIC_L2}};

// A name from `names`, or ValueError listing them all.
template <std::size_t N>
uint32_t codeOf(py::handle value, const StoreName (&names)[N], const char* what) {
    if (py::isinstance<py::str>(value)) {
        const std::string name = value.cast<std::string>();
        for (const StoreName& each : names) {
            if (name == each.name) return each.code;
        }
    }
    std::string allowed;
    for (std::size_t i = 0; i < N; ++i)
        allowed += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + "\"" + names[i].name + "\"";
    throw py::value_error(std::string(what) + " must be " + allowed + ", got " + std::string(py::repr(value)));
}

template <std::size_t N>
std::string nameOf(uint32_t code, const StoreName (&names)[N]) {
    for (const StoreName& each : names) {
        if (code == each.code) return each.name;
    }
    return "unknown";
}

// Why an add_batch call refused its ids: the first id given twice, or else
// the first id already present. Runs under the write lock.
std::string describeDuplicate(IndexObject& object, const uint64_t* ids, uint64_t count) {
    std::vector<uint64_t> sorted(ids, ids + count);
    std::sort(sorted.begin(), sorted.end());
    const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
    if (repeat != sorted.end()) return "id " + std::to_string(*repeat) + " occurs more than once in ids";
    for (uint64_t i = 0; i < count; ++i) {
        if (containsId(object, ids[i])) return "id " + std::to_string(ids[i]) + " is already in the index";
    }
    return "an id is already in the index";
}

// The largest id of first .. first + count - 1 that the index holds, if
// any: exact filtered searches over 256 candidates at a time, each of which
// returns every listed id that is present. Runs under the write lock.
std::optional<uint64_t> largestPresent(IndexObject& object, uint64_t first, uint64_t count) {
    PooledContext pooled(object.contexts, object.handle, 1, 4, KORVANE_WALK_HAMMING);
    if (!pooled.context) throw std::bad_alloc();
    std::optional<uint64_t> largest;
    uint64_t candidates[KORVANE_MAX_K], found[KORVANE_MAX_K];
    float scores[KORVANE_MAX_K];
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min<uint64_t>(KORVANE_MAX_K, count - done);
        std::iota(candidates, candidates + n, first + done);
        const uint64_t hits =
            korvane_search_filtered(object.handle, pooled.context, object.probe.data(), candidates, n, n, found, scores);
        for (uint64_t i = 0; i < hits; ++i) largest = std::max(largest.value_or(found[i]), found[i]);
        done += n;
    }
    return largest;
}

// Default ids: the first run of `count` consecutive free ids from
// len(index) on. After removals len(index) + i may still be taken.
std::vector<uint64_t> freeIds(IndexObject& object, uint64_t count) {
    uint64_t first = korvane_index_len(object.handle);
    constexpr uint64_t kNoId = std::numeric_limits<uint64_t>::max();
    for (;;) {
        if (count > kNoId - first) throw std::overflow_error("no run of free default ids is left below NO_ID");
        const std::optional<uint64_t> taken = largestPresent(object, first, count);
        if (!taken) break;
        first = *taken + 1;
    }
    std::vector<uint64_t> ids(count);
    std::iota(ids.begin(), ids.end(), first);
    return ids;
}

// NO_ID pads short result rows, so a vector stored under it could not be
// told apart from padding.
void refuseNoId(const IdArray& ids) {
    const uint64_t* data = ids.data();
    for (py::ssize_t i = 0; i < ids.size(); ++i) {
        if (data[i] == std::numeric_limits<uint64_t>::max())
            throw py::value_error("ids[" + std::to_string(i) +
                                  "] is NO_ID (2**64 - 1), which marks padding in search results and cannot be added");
    }
}

// How an add reports to Python between the library's chunks, on the calling
// thread, with the GIL taken for each report: the progress callable, if
// any, and pending signals, so that Ctrl-C stops a long add (the library
// checks nothing itself). What the callable or a signal handler raises
// stops the batch and is raised again once add has let go of the index.
struct AddWatch {
    IndexObject& object;
    py::object callable;  // None: signals only
    std::exception_ptr raised;
    std::chrono::steady_clock::time_point checked{};
};

// Taking the GIL may wait for other Python threads, so without a callable
// signals are checked at most this often.
constexpr std::chrono::milliseconds kSignalCheckPeriod{50};

int32_t reportAdd(void* user, uint64_t done, uint64_t total) {
    AddWatch& watch = *static_cast<AddWatch*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (watch.callable.is_none() && now - watch.checked < kSignalCheckPeriod) return 0;
    watch.checked = now;
    py::gil_scoped_acquire held;
    try {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!watch.callable.is_none()) {
            reporting_add = &watch.object;
            struct Reset {
                ~Reset() { reporting_add = nullptr; }
            } reset;
            watch.callable(done, total);
        }
        return 0;
    } catch (...) {
        watch.raised = std::current_exception();
        return 1;
    }
}

// The callable that `progress` asks for: None, a bar on stderr for True
// (closed by the caller), or the caller's own.
py::object progressCallable(py::object progress, py::object& bar) {
    if (progress.is_none() || (isBool(progress) && !progress.cast<bool>())) return py::none();
    if (isBool(progress)) {
        bar = py::module_::import("korvane._progress").attr("Bar")();
        return bar;
    }
    if (!PyCallable_Check(progress.ptr()))
        throw py::value_error("progress must be None, True or a callable progress(done, total), got " +
                              std::string(py::repr(progress)));
    return progress;
}

}  // namespace

IndexObject* createIndex(py::object ef_construction, py::object seed, py::object store, py::object dim,
                         py::object metric) {
    const uint64_t ef = toUnsigned(ef_construction, "ef_construction");
    const uint64_t seed_value = toUnsigned(seed, "seed");
    const uint32_t store_code = codeOf(store, kStores, "store");
    const uint32_t dim_value = static_cast<uint32_t>(toCount(dim, "dim", 1, KORVANE_MAX_DIM));
    const uint32_t metric_code = codeOf(metric, kMetrics, "metric");
    korvane_index* handle = nullptr;
    {
        py::gil_scoped_release released;
        // The default shape through the call it has always used: the same index either way, by the header's promise.
        handle = dim_value == KORVANE_DIM && metric_code == KORVANE_METRIC_IP
                     ? korvane_index_create_with_store(ef, seed_value, store_code)
                     : korvane_index_create_with_options(dim_value, metric_code, store_code, ef, seed_value);
    }
    if (!handle) throw std::bad_alloc();
    return openIndexObject(handle);
}

void addVectors(IndexObject& object, py::object vectors, py::object ids, py::object threads, py::object progress) {
    const Rows rows = toRows(vectors, "vectors", object.dim, object.metric, true);
    std::optional<IdArray> given;
    if (!ids.is_none()) {
        given = toIds(ids, "ids");
        if (static_cast<uint64_t>(given->size()) != rows.count)
            throw py::value_error("ids has " + std::to_string(given->size()) + " entries for " +
                                  std::to_string(rows.count) + " vectors");
        refuseNoId(*given);
    }
    const uint64_t n_threads = toThreadCount(threads, rows.count);
    py::object bar;
    AddWatch watch{object, progressCallable(progress, bar), nullptr, {}};
    const float* data = rows.array.data();
    const uint64_t* id_data = given ? given->data() : nullptr;
    int32_t status = KORVANE_OK;
    std::string duplicate;
    try {
        py::gil_scoped_release released;
        WriteAccess access(object);
        std::vector<uint64_t> default_ids;
        if (!id_data) {
            default_ids = freeIds(object, rows.count);
            id_data = default_ids.data();
        }
        status = korvane_index_add_batch_progress(object.handle, id_data, data, rows.count, n_threads, reportAdd,
                                                  &watch, nullptr);
        if (status == KORVANE_DUPLICATE) duplicate = describeDuplicate(object, id_data, rows.count);
    } catch (...) {
        if (bar) bar.attr("close")();
        throw;
    }
    if (bar) bar.attr("close")();
    // Raised even after a last report that came too late to stop anything.
    if (watch.raised) std::rethrow_exception(watch.raised);
    if (status == KORVANE_DUPLICATE) throw DuplicateIdError(duplicate + "; nothing was added");
    if (status != KORVANE_OK) throw std::bad_alloc();
}

uint64_t removeIds(IndexObject& object, py::object ids) {
    const IdArray array = toIds(ids, "ids");
    const uint64_t* id_data = array.data();
    const uint64_t count = static_cast<uint64_t>(array.size());
    py::gil_scoped_release released;
    WriteAccess access(object);
    uint64_t removed = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (korvane_index_remove(object.handle, id_data[i]) == KORVANE_OK) {
            ++removed;
        } else if (containsId(object, id_data[i])) {
            throw std::bad_alloc();  // present but not removed: out of memory
        }
    }
    return removed;
}

void compactIndex(IndexObject& object) {
    int32_t status = KORVANE_OK;
    {
        py::gil_scoped_release released;
        WriteAccess access(object);
        status = korvane_index_compact(object.handle);
    }
    if (status != KORVANE_OK) throw std::bad_alloc();  // the index is unchanged
}

bool containsObject(IndexObject& object, py::object id) {
    if (!PyIndex_Check(id.ptr())) return false;
    uint64_t value = 0;
    try {
        value = toUnsigned(id, "id");
    } catch (const py::value_error&) {
        return false;  // negative or wider than 64 bits: never an id
    }
    py::gil_scoped_release released;
    ReadAccess access(object);
    return containsId(object, value);
}

void saveIndex(IndexObject& object, py::object path) {
    const std::string bytes = toPath(path);
    // The library's rename over a directory fails with a vaguer error.
    struct stat target {};
    if (stat(bytes.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
        raiseOsError(EISDIR, "cannot save the index", path);
    int32_t status = KORVANE_OK;
    int error = 0;
    {
        py::gil_scoped_release released;
        ReadAccess access(object);
        errno = 0;
        status = korvane_index_save(object.handle, bytes.c_str());
        error = errno;
    }
    if (status != KORVANE_OK) raiseOsError(error, "cannot save the index", path);
}

IndexObject* loadIndex(py::object path) {
    const std::string bytes = toPath(path);
    korvane_index* handle = nullptr;
    int error = 0;
    {
        py::gil_scoped_release released;
        const int fd = open(bytes.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0) {
            error = errno;
        } else if (S_ISDIR(info.st_mode)) {
            error = EISDIR;
        }
        if (fd >= 0) close(fd);
        if (!error) handle = korvane_index_load_any(bytes.c_str());
    }
    if (error) raiseOsError(error, "cannot read the index file", path);
    if (!handle) raiseIndexFileError("not a valid index file, or too large for the memory available", path);
    return openIndexObject(handle);
}

std::string storeName(IndexObject& object) {
    return nameOf(quickRead(object, [](korvane_index* handle) { return korvane_index_raw_store(handle); }), kStores);
}

std::string metricName(IndexObject& object) {
    return nameOf(quickRead(object, [](korvane_index* handle) { return korvane_index_metric(handle); }), kMetrics);
}

uint32_t indexDim(IndexObject& object) {
    return quickRead(object, [](korvane_index* handle) { return korvane_index_dim(handle); });
}

}  // namespace korvane_py
