// The Python module `qelt`: bindings of the core's patching function and classes.
// All conversion between Python objects and native values is pybind11's.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "frequency_table.h"
#include "patcher.h"
#include "patching.h"

namespace py = pybind11;

PYBIND11_MODULE(qelt, m) {
  m.doc() = "QAV-MOS sequence patching module";

  m.def("patch_sequence", &qelt::patch_sequence,
        "Divide a sequence into patches based on entropy thresholds", py::arg("bytes"),
        py::arg("k"), py::arg("theta"), py::arg("theta_r"));

  // Methods are bound through functions taking the instance by reference: bound as
  // member pointers, pybind11 would hand a `None` passed as `self` (as in
  // `Patcher.reset(None)`) to native code as a null object.
  py::class_<qelt::Patcher>(m, "Patcher")
      .def(py::init<>())
      .def("patch_sequence",
           [](qelt::Patcher& self, const qelt::ByteString& sequence,
              std::vector<std::int32_t>& indices) { self.patch_sequence(sequence, indices); })
      .def("get_patched_sequence",
           [](const qelt::Patcher& self) { return self.get_patched_sequence(); })
      .def("reset", [](qelt::Patcher& self) { self.reset(); });

  py::class_<qelt::FrequencyTable>(m, "FrequencyTable")
      .def(py::init<>())
      .def("add_sequence", [](qelt::FrequencyTable& self,
                              const qelt::ByteString& sequence) { self.add_sequence(sequence); })
      .def("get_frequency",
           [](const qelt::FrequencyTable& self, const qelt::ByteString& ngram) {
             return self.get_frequency(ngram);
           })
      .def("clear", [](qelt::FrequencyTable& self) { self.clear(); });
}
