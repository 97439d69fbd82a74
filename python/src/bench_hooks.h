// Private timing hooks for python/bench: the same searches as
// Index.search, timed inside C, so the script can tell the binding's cost
// per call from the library's.
#pragma once

#include <pybind11/pybind11.h>

namespace korvane_py {

void bindBenchHooks(pybind11::module_& module);

}  // namespace korvane_py
