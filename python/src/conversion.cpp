#include "conversion.h"

#include <sched.h>

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

Rows toRows(py::handle object, const char* what) {
    FloatArray array = FloatArray::ensure(object);
    if (!array) throwValue(std::string(what) + " must be an array of numbers");
    const bool single = array.ndim() == 1;
    if (!(single || array.ndim() == 2) || array.shape(array.ndim() - 1) != KORVANE_DIM) {
        std::string shape;
        for (py::ssize_t d = 0; d < array.ndim(); ++d) shape += (d ? ", " : "") + std::to_string(array.shape(d));
        if (array.ndim() == 1) shape += ",";
        throwValue(std::string(what) + " must have shape (n, 256) or (256,), got (" + shape + ")");
    }
    return Rows{array, single ? 1u : static_cast<uint64_t>(array.shape(0)), single};
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

uint64_t toUnsigned(py::handle object, const char* what) {
    if (!PyLong_Check(object.ptr()) && !PyIndex_Check(object.ptr()))
        throwValue(std::string(what) + " must be an integer");
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

uint64_t toThreadCount(std::optional<int64_t> threads) {
    if (threads) {
        if (*threads < 1) throwValue("threads must be at least 1, got " + std::to_string(*threads));
        return static_cast<uint64_t>(*threads);
    }
    // Counted once: a search must not pay a system call for it.
    static const uint64_t cores = [] {
        cpu_set_t cpus;
        if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) return CPU_COUNT(&cpus);
        const unsigned hardware = std::thread::hardware_concurrency();
        return hardware ? static_cast<int>(hardware) : 1;
    }();
    return cores;
}

}  // namespace korvane_py
