// korvane.Index.search: argument checks, the choice of C call, padding.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>

#include "index_object.h"

namespace korvane_py {

pybind11::tuple searchIndex(IndexObject& object, pybind11::object queries, pybind11::object k, pybind11::object ef,
                            pybind11::object rerank, pybind11::object threads, pybind11::object filter,
                            pybind11::object walk);

}  // namespace korvane_py
