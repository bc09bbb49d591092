// The class Reading: how a model reads each document (reading.h), made once at the
// API's door from the name of its mode and its memory, and what a model cannot read.

#include <pybind11/pybind11.h>

#include <string>

#include "bindings.h"
#include "context_model.h"
#include "reading.h"

namespace py = pybind11;

namespace qelt_corpus {

void bind_reading(py::module_& m) {
  py::class_<qelt::Reading>(m, "Reading")
      .def(py::init([](const std::string& mode, std::uint64_t memory) {
             const auto found = qelt::reading_mode(mode);
             if (!found) throw py::value_error("no reading " + mode);
             return qelt::Reading{*found, memory};
           }),
           py::arg("mode"), py::arg("memory"))
      .def_property_readonly("mode", [](const qelt::Reading& reading) {
        return std::string(qelt::reading_name(reading.mode));
      })
      .def_readonly("memory", &qelt::Reading::memory);
  m.def("reading_modes", [] {
    py::list names;
    for (const qelt::ReadingMode mode : qelt::reading_modes()) {
      names.append(std::string(qelt::reading_name(mode)));
    }
    return names;
  });
  m.attr("DEFAULT_READING_MEMORY") = qelt::Reading::kDefaultMemory;
  m.attr("LEAST_READING_MEMORY") = qelt::Reading::kLeastMemory;
  m.attr("UNBOUNDED_READING_MEMORY") = qelt::Reading::kUnbounded;
  m.attr("MAX_ORDER") = qelt::ContextModel::kMaxOrder;
  m.def("reading_refusal", &qelt::reading_refusal, py::arg("model"), py::arg("reading"));
  m.def("probabilities_refusal", &qelt::probabilities_refusal, py::arg("model"));
}

}  // namespace qelt_corpus
