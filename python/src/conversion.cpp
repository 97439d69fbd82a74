#include "conversion.h"

#include <sched.h>

#include <cmath>
#include <limits>
#include <optional>
#include <thread>

#include "korvane.h"

namespace py = pybind11;

namespace korvane_py {
namespace {

constexpr std::size_t kMaxPathBytes = 1023;

[[noreturn]] void throwValue(const std::string& message) { throw py::value_error(message); }

IdArray idsFromSigned(const py::array& array, const char* what) {
    auto signed_ids = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
    const int64_t* data = signed_ids.data();
    for (py::ssize_t i = 0; i < signed_ids.size(); ++i) {
        if (data[i] < 0) throwValue(std::string(what) + " must not be negative, got " + std::to_string(data[i]));
    }
    return IdArray::ensure(signed_ids);
}

IdArray idsFromObjects(const py::array& array, const char* what) {
    IdArray ids(array.size());
    uint64_t* out = ids.mutable_data();
    py::ssize_t i = 0;
    for (py::handle item : array.attr("ravel")()) out[i++] = toUnsigned(item, what);
    return ids;
}

}  // namespace

namespace {

// Only real numbers become vector components: numpy would turn strings into
// their values and None into NaN.
py::array numericArray(py::handle object, const char* what) {
    const py::array array = py::isinstance<py::array>(object)
                                ? py::reinterpret_borrow<py::array>(object)
                                : py::array(py::module_::import("numpy").attr("asarray")(object));
    const char kind = array.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throwValue(std::string(what) + " must be an array of real numbers, got dtype " +
                   std::string(py::str(array.dtype())));
    return array;
}

// A row that is not finite, or whose squared length overflows float32,
// scores NaN against every query and so cannot be ranked; the tool refuses
// such rows too. Cosine normalises first, so only direction matters there.
void checkScorable(const Rows& rows, const char* what, uint32_t metric, bool stored) {
    const bool cosine = metric == KORVANE_METRIC_COSINE;
    std::string problem;
    uint64_t bad = 0;
    {
        // Only a large batch is worth letting other Python threads run.
        std::optional<py::gil_scoped_release> released;
        if (rows.count * rows.dim >= 65536) released.emplace();
        const float* data = rows.array.data();
        for (uint64_t r = 0; r < rows.count && problem.empty(); ++r) {
            const float* row = data + r * rows.dim;
            // In double no finite float's square overflows or vanishes, so
            // the sum is finite exactly when every component is, and zero
            // exactly when every component is.
            double squared_length = 0;
            for (uint32_t i = 0; i < rows.dim; ++i) squared_length += double(row[i]) * double(row[i]);
            if (!std::isfinite(squared_length))
                problem = " holds a value that is not a finite number (NaN or infinity)";
            else if (!cosine && squared_length > double(std::numeric_limits<float>::max()))
                problem = " is too long: its squared length overflows float32, so it cannot be scored";
            else if (cosine && stored && squared_length == 0)
                problem = " is all zeros, which has no direction for cosine similarity";
            bad = r;
        }
    }
    if (!problem.empty()) throwValue(std::string(what) + " row " + std::to_string(bad) + problem);
}

std::string shapeText(const py::array& array) {
    std::string shape;
    for (py::ssize_t d = 0; d < array.ndim(); ++d) shape += (d ? ", " : "") + std::to_string(array.shape(d));
    if (array.ndim() == 1) shape += ",";
    return "(" + shape + ")";
}

}  // namespace

Rows toRows(py::handle object, const char* what, uint32_t dim, uint32_t metric, bool stored,
            const char* dim_owner) {
    FloatArray array = FloatArray::ensure(numericArray(object, what));
    if (!array) throwValue(std::string(what) + " must be an array of numbers");
    const bool single = array.ndim() == 1;
    const std::string wanted = dim ? std::to_string(dim) : std::string("d");
    if (!(single || array.ndim() == 2))
        throwValue(std::string(what) + " must have shape (n, " + wanted + ") or (" + wanted + ",), got " +
                   shapeText(array));
    const py::ssize_t width = array.shape(array.ndim() - 1);
    if (dim && width != static_cast<py::ssize_t>(dim))
        throwValue(std::string(what) + " have " + std::to_string(width) + " components but " + dim_owner + " is " +
                   std::to_string(dim) + ": expected shape (n, " + wanted + ") or (" + wanted + ",), got " +
                   shapeText(array));
    if (!dim && (width < 1 || width > KORVANE_MAX_DIM))
        throwValue(std::string(what) + " must have 1 to " + std::to_string(KORVANE_MAX_DIM) +
                   " components per vector, got shape " + shapeText(array));
    Rows rows{array, single ? 1u : static_cast<uint64_t>(array.shape(0)), static_cast<uint32_t>(width), single};
    checkScorable(rows, what, metric, stored);
    return rows;
}

IdArray toIds(py::handle object, const char* what) {
    // Lists go element by element: numpy would turn [2**64 - 1, 1] into
    // floats and lose the low bits.
    const py::array array = py::isinstance<py::array>(object)
                                ? py::reinterpret_borrow<py::array>(object)
                                : py::array(py::module_::import("numpy").attr("array")(object, py::dtype("O")));
    if (array.ndim() > 1) throwValue(std::string(what) + " must be one-dimensional");
    if (array.size() == 0) return IdArray(0);
    switch (array.dtype().kind()) {
        case 'u': return IdArray::ensure(array);
        case 'i': return idsFromSigned(array, what);
        case 'O': return idsFromObjects(array, what);
        default: throwValue(std::string(what) + " must be integers, got dtype " + std::string(py::str(array.dtype())));
    }
}

bool isBool(py::handle object) {
    static const py::handle numpy_bool = py::object(py::module_::import("numpy").attr("bool_")).release();
    return PyBool_Check(object.ptr()) || PyObject_IsInstance(object.ptr(), numpy_bool.ptr()) == 1;
}

uint64_t toUnsigned(py::handle object, const char* what) {
    // True is an int to Python, but as an id or a count it is a mistake.
    if ((!PyLong_Check(object.ptr()) && !PyIndex_Check(object.ptr())) || isBool(object))
        throwValue(std::string(what) + " must be an integer, got " + std::string(py::repr(object)));
    py::int_ value = py::reinterpret_steal<py::int_>(PyNumber_Index(object.ptr()));
    if (!value) throw py::error_already_set();
    const unsigned long long result = PyLong_AsUnsignedLongLong(value.ptr());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        throwValue(std::string(what) + " must be in 0 .. 2**64 - 1, got " + std::string(py::str(value)));
    }
    return result;
}

std::string toPath(py::handle object) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(object.ptr(), &raw)) throw py::error_already_set();
    py::bytes bytes = py::reinterpret_steal<py::bytes>(raw);
    std::string path = bytes;
    if (path.size() > kMaxPathBytes) throwValue("path is longer than 1023 bytes");
    return path;
}

uint64_t toCount(py::handle object, const char* what, uint64_t low, uint64_t high) {
    if (PyLong_CheckExact(object.ptr())) {  // the common case, without temporaries
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
        if (!overflow && small >= 0 && uint64_t(small) >= low && uint64_t(small) <= high) return uint64_t(small);
    }
    if (!PyIndex_Check(object.ptr()) || isBool(object))
        throwValue(std::string(what) + " must be an integer, got " + std::string(py::repr(object)));
    py::int_ value = py::reinterpret_steal<py::int_>(PyNumber_Index(object.ptr()));
    if (!value) throw py::error_already_set();
    if (value < py::int_(low) || value > py::int_(high)) {
        const std::string range = high == std::numeric_limits<uint64_t>::max()
                                      ? "in " + std::to_string(low) + " .. 2**64 - 1"
                                      : "in " + std::to_string(low) + " .. " + std::to_string(high);
        throwValue(std::string(what) + " must be " + range + ", got " + std::string(py::str(value)));
    }
    return value.cast<uint64_t>();
}

uint64_t toThreadCount(py::handle threads, uint64_t work) {
    if (!threads.is_none()) return std::min(toCount(threads, "threads", 1, std::numeric_limits<uint64_t>::max()),
                                            std::max<uint64_t>(work, 1));
    return std::min(coreCount(), std::max<uint64_t>(work, 1));
}

uint64_t coreCount() {
    // Counted once: a search must not pay a system call for it.
    static const uint64_t cores = [] {
        cpu_set_t cpus;
        if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) return CPU_COUNT(&cpus);
        const unsigned hardware = std::thread::hardware_concurrency();
        return hardware ? static_cast<int>(hardware) : 1;
    }();
    return static_cast<uint64_t>(cores);
}

}  // namespace korvane_py
