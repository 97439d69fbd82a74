// The Python exceptions of the package and the helpers that raise them.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane_py {

// Thrown (also with the GIL released) and translated to
// korvane.DuplicateIdError, a ValueError.
struct DuplicateIdError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Creates korvane.DuplicateIdError and korvane.IndexFileError in `module`.
void registerErrors(pybind11::module_& module);

// Raise with the GIL held: an OSError built from `error` (so ENOENT becomes
// FileNotFoundError) that carries the path, or korvane.IndexFileError whose
// message names it.
[[noreturn]] void raiseOsError(int error, const std::string& message, pybind11::handle path);
[[noreturn]] void raiseIndexFileError(const std::string& message, pybind11::handle path);

}  // namespace korvane_py
