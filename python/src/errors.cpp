#include "errors.h"

#include <cstring>

namespace py = pybind11;

namespace korvane_py {
namespace {

PyObject* index_file_error = nullptr;  // lives as long as the module

[[noreturn]] void raise(PyObject* type, py::tuple args) {
    PyErr_SetObject(type, args.ptr());
    throw py::error_already_set();
}

}  // namespace

void registerErrors(py::module_& module) {
    py::register_exception<DuplicateIdError>(module, "DuplicateIdError", PyExc_ValueError);
    index_file_error = py::exception<void>(module, "IndexFileError", PyExc_OSError).ptr();
    Py_INCREF(index_file_error);
}

void raiseOsError(int error, const std::string& message, py::handle path) {
    if (error == 0) raise(PyExc_OSError, py::make_tuple(message));
    raise(PyExc_OSError, py::make_tuple(error, message + ": " + std::strerror(error), path));
}

void raiseIndexFileError(const std::string& message, py::handle path) {
    raise(index_file_error, py::make_tuple(std::string(py::repr(path)) + ": " + message));
}

}  // namespace korvane_py
