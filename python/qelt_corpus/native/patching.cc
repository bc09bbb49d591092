// Patching with each document's own model, over one buffer or an Arrow array.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "batch.h"
#include "bindings.h"
#include "patching.h"
#include "results.h"

namespace py = pybind11;

namespace qelt_corpus {

namespace {

py::array_t<std::int64_t> patch_ends(py::handle data, std::int32_t k, double theta,
                                     double theta_r, std::size_t max_length) {
  const qelt::Thresholds limits = thresholds(theta, theta_r);
  return ends_of_buffer(data, "data", max_length,
                        [&](const std::uint8_t* bytes, std::size_t size) {
                          return qelt::patch_ends(bytes, size, k, limits);
                        });
}

py::tuple patch_ends_arrow(py::handle validity, py::handle offsets, py::handle data,
                           std::size_t offset, std::size_t length, int offset_width,
                           std::int32_t k, double theta, double theta_r,
                           std::size_t max_length) {
  const qelt::Thresholds limits = thresholds(theta, theta_r);
  return ends_of_arrow(validity, offsets, data, offset, length, offset_width,
                       [&](const qelt::ByteSpan* spans, std::size_t count) {
                         return qelt::patch_ends_batch(spans, count, k, limits, max_length);
                       });
}

}  // namespace

void bind_patching(py::module_& m) {
  m.def("patch_ends", &patch_ends, py::arg("data"), py::arg("k"), py::arg("theta"),
        py::arg("theta_r"), py::arg("max_length"));
  m.def("patch_ends_arrow", &patch_ends_arrow, py::arg("validity"), py::arg("offsets"),
        py::arg("data"), py::arg("offset"), py::arg("length"), py::arg("offset_width"),
        py::arg("k"), py::arg("theta"), py::arg("theta_r"), py::arg("max_length"));
}

}  // namespace qelt_corpus
