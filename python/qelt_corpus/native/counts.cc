// The binding of Counts (counts.h).

#include "counts.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"

namespace py = pybind11;

namespace qelt_corpus {

void bind_counts(py::module_& m) {
  py::class_<Counts>(m, "Counts")
      .def(py::init<int>(), py::arg("k"))
      .def_property_readonly("k", &Counts::k)
      .def_property_readonly("positions", &Counts::positions)
      .def("add", &Counts::add, py::arg("document"))
      .def("add_documents", &Counts::add_documents, py::arg("documents"))
      .def("merge", &Counts::merge, py::arg("others"))
      .def("to_model", &Counts::to_model, py::arg("min_count"), py::arg("max_bytes"),
           py::arg("kind"))
      .def("smallest_model_bytes", &Counts::smallest_model_bytes, py::arg("min_count"))
      .def("split", &Counts::split, py::arg("bits"))
      .def_property_readonly("windows", &Counts::windows)
      .def_property_readonly("memory_bytes", &Counts::memory_bytes)
      .def("serialize", &Counts::serialize)
      .def_static("deserialize", &Counts::deserialize, py::arg("state"));
}

}  // namespace qelt_corpus
