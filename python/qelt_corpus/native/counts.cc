// The binding of Counts (counts.h).

#include "counts.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "results.h"

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
      .def_property_readonly("windows", &Counts::windows)
      .def_property_readonly("memory_bytes", &Counts::memory_bytes)
      .def("bound_table", &Counts::bound_table, py::arg("table_bytes"))
      .def("take_encoded_shares", [](Counts& counts, int bits) {
        qelt::ContextCounts::EncodedShares shares = counts.take_encoded_shares(bits);
        return py::make_tuple(to_numpy<std::uint8_t>(std::move(shares.bytes)),
                              to_numpy<std::uint64_t>(std::move(shares.ends)),
                              to_numpy<std::uint64_t>(std::move(shares.windows)));
      }, py::arg("bits"))
      .def("serialize", &Counts::serialize)
      .def_static("deserialize", &Counts::deserialize, py::arg("state"));
}

}  // namespace qelt_corpus
