// The table of model kinds, as the Python package reads it: one dict per kind.

#include <pybind11/pybind11.h>

#include <string>

#include "bindings.h"
#include "model_kinds.h"

namespace py = pybind11;

namespace qelt_corpus {

void bind_kinds(py::module_& m) {
  m.def("model_kinds", [] {
    py::list kinds;
    for (const qelt::ModelKind& kind : qelt::model_kinds()) {
      py::dict row;
      row["name"] = std::string(kind.name);
      row["number"] = kind.number;
      row["summary"] = std::string(kind.summary);
      row["probabilities"] = kind.probabilities;
      row["adaptive"] = kind.adaptive;
      row["mixes"] = kind.mixes;
      kinds.append(row);
    }
    return kinds;
  });
}

}  // namespace qelt_corpus
