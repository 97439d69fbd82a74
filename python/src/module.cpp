// The compiled part of the korvane package: korvane._korvane.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "bench_hooks.h"
#include "conversion.h"
#include "docstrings.h"
#include "errors.h"
#include "index_object.h"
#include "index_ops.h"
#include "search.h"

namespace py = pybind11;
using namespace korvane_py;

namespace {

void bindIndex(py::module_& module) {
    py::class_<IndexObject>(module, "Index", doc::kIndex)
        .def(py::init(&createIndex), py::arg("ef_construction") = 200, py::arg("seed") = 0,
             py::arg("store") = "int8")
        .def("add", &addVectors, py::arg("vectors"), py::arg("ids") = py::none(), py::arg("threads") = py::none(),
             doc::kAdd)
        .def("remove", &removeIds, py::arg("ids"), doc::kRemove)
        // Index.search is a Python function (korvane/__init__.py) that passes
        // everything by position: pybind11's keyword matching would cost
        // several times what the rest of the call does.
        .def("_search", &searchIndex)
        .def("save", &saveIndex, py::arg("path"), doc::kSave)
        .def_static("load", &loadIndex, py::arg("path"), doc::kLoad)
        .def("close", &closeIndexObject, py::call_guard<py::gil_scoped_release>(), doc::kClose)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](IndexObject& self, py::args) { py::gil_scoped_release released; closeIndexObject(self); })
        .def("__len__", [](IndexObject& self) { return quickRead(self, korvane_index_len); }, doc::kLen)
        .def("__contains__", &containsObject, py::arg("id"), doc::kContains)
        .def_property_readonly(
            "memory_bytes", [](IndexObject& self) { return quickRead(self, korvane_index_memory_bytes); },
            doc::kMemory)
        .def_property_readonly("store", &storeName, doc::kStore)
        .def("__repr__", [](IndexObject& self) {
            if (!self.handle) return std::string("<korvane.Index (closed)>");
            return "<korvane.Index: " + std::to_string(quickRead(self, korvane_index_len)) + " vectors, store=\"" +
                   storeName(self) + "\">";
        });
}

// The argument checks of Index, for korvane.distributed to apply the same
// rules before it routes anything to a shard.
void bindConversions(py::module_& module) {
    module.def("_to_ids", [](py::object ids, const char* what) { return toIds(ids, what); });
    module.def("_to_rows", [](py::object vectors, const char* what) {
        Rows rows = toRows(vectors, what);
        return py::make_tuple(rows.array.reshape({static_cast<py::ssize_t>(rows.count), py::ssize_t{KORVANE_DIM}}),
                              rows.single);
    });
}

}  // namespace

PYBIND11_MODULE(_korvane, module) {
    module.doc() = doc::kModule;
    module.attr("DIM") = KORVANE_DIM;
    module.attr("MAX_K") = KORVANE_MAX_K;
    module.attr("NO_ID") = py::int_(std::numeric_limits<uint64_t>::max());
    module.attr("__version__") = KORVANE_VERSION;
    module.attr("_SEARCH_DOC") = doc::kSearch;
    registerErrors(module);
    module.attr("DuplicateIdError").attr("__doc__") = doc::kDuplicate;
    module.attr("IndexFileError").attr("__doc__") = doc::kIndexFile;
    bindIndex(module);
    bindConversions(module);
    bindBenchHooks(module);
}
