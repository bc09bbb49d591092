// The class Stream: a model's patching as bytes arrive.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "bindings.h"
#include "patch_stream.h"
#include "results.h"
#include "views.h"

namespace py = pybind11;

namespace qelt_corpus {

namespace {

// The ends a push closes, in an array made before the push (room for one end per
// byte) and cut to size after: once the stream has taken the bytes nothing is
// allocated, so a push that fails for want of memory has changed nothing.
py::array_t<std::int64_t> push(qelt::PatchStream& stream, py::handle data) {
  const ByteBuffer bytes(data, "data");
  py::array_t<std::int64_t> ends(static_cast<py::ssize_t>(bytes.size()));
  std::size_t closed;
  {
    const py::gil_scoped_release release;
    closed = stream.push(bytes.data(), bytes.size(),
                         reinterpret_cast<std::size_t*>(ends.mutable_data()));
  }
  ends.resize({static_cast<py::ssize_t>(closed)}, false);
  return ends;
}

py::array_t<std::int64_t> finish(qelt::PatchStream& stream) {
  std::vector<std::size_t> ends;
  stream.finish(ends);
  return to_numpy<std::int64_t>(std::move(ends));
}

}  // namespace

void bind_stream(py::module_& m) {
  py::class_<qelt::PatchStream>(m, "Stream")
      .def(py::init([](const qelt::ContextModel& model, double theta, double theta_r,
                       std::size_t max_length, const qelt::Reading& reading) {
             return qelt::PatchStream(model, thresholds(theta, theta_r), max_length, reading);
           }),
           py::arg("model"), py::arg("theta"), py::arg("theta_r"), py::arg("max_length"),
           py::arg("reading"))
      .def("push", &push, py::arg("data"))
      .def("finish", &finish)
      .def_property_readonly("next_entropy", &qelt::PatchStream::next_entropy)
      .def_property_readonly("next_ends_patch", &qelt::PatchStream::next_ends_patch)
      .def_property_readonly("position", &qelt::PatchStream::position)
      .def_property_readonly("finished", &qelt::PatchStream::finished);
}

}  // namespace qelt_corpus
