// Patching with each document's own model, over one buffer or an Arrow array.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

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

py::array_t<std::int64_t> patch_ends_from_entropies(
    const py::array_t<float, py::array::c_style>& given_entropies, std::size_t first,
    double theta, double theta_r, std::size_t max_length) {
  const auto entropies = aligned(given_entropies);
  const qelt::Thresholds limits = thresholds(theta, theta_r);
  const float* values = entropies.data();
  const auto n = static_cast<std::size_t>(entropies.size());
  if (max_length != 0) {
    std::vector<std::size_t> ends;
    {
      py::gil_scoped_release release;
      ends = qelt::limit_patch_length(qelt::patch_ends_from_entropies(values, n, first, limits),
                                      max_length);
    }
    return to_numpy<std::int64_t>(std::move(ends));
  }
  // Written in place into an array with room for an end at every position, and handed
  // out as a view of the part written: the pages past it are never touched, so never
  // taken, and nothing is copied.
  py::array_t<std::int64_t> room(static_cast<py::ssize_t>(n + 1));
  auto* out = reinterpret_cast<std::size_t*>(room.mutable_data());
  std::size_t count;
  {
    py::gil_scoped_release release;
    count = qelt::patch_ends_from_entropies(values, n, first, limits, out);
  }
  return room[py::slice(0, static_cast<py::ssize_t>(count), 1)].cast<py::array_t<std::int64_t>>();
}

// The patch ends of every row of a list array of entropies: row i is values[offsets[i]
// .. offsets[i + 1]).
py::tuple patch_ends_from_entropy_lists(
    const py::array_t<std::int64_t, py::array::c_style>& given_offsets,
    const py::array_t<float, py::array::c_style>& given_values, std::size_t first, double theta,
    double theta_r, std::size_t max_length) {
  const auto offsets = aligned(given_offsets);
  const auto values = aligned(given_values);
  const qelt::Thresholds limits = thresholds(theta, theta_r);
  const std::int64_t* bounds = offsets.data();
  const float* entropies = values.data();
  const auto rows = static_cast<std::size_t>(offsets.size() == 0 ? 0 : offsets.size() - 1);
  const auto size = static_cast<std::int64_t>(values.size());
  for (std::size_t i = 0; i < rows; ++i) {
    if (bounds[i] < 0 || bounds[i + 1] < bounds[i] || bounds[i + 1] > size) {
      throw py::value_error("invalid list array: offsets out of order or past the values");
    }
  }
  qelt::BatchEnds batch;
  {
    py::gil_scoped_release release;
    batch.offsets.reserve(rows + 1);
    batch.offsets.push_back(0);
    for (std::size_t i = 0; i < rows; ++i) {
      const auto n = static_cast<std::size_t>(bounds[i + 1] - bounds[i]);
      try {
        qelt::append_limited_ends(
            qelt::patch_ends_from_entropies(entropies + bounds[i], n, first, limits), max_length,
            batch.ends);
      } catch (const std::invalid_argument& error) {
        throw std::invalid_argument("row " + std::to_string(i) + ": " + error.what());
      }
      batch.offsets.push_back(batch.ends.size());
    }
  }
  return batch_to_numpy(std::move(batch));
}

}  // namespace

void bind_patching(py::module_& m) {
  m.def("patch_ends_from_entropies", &patch_ends_from_entropies, py::arg("entropies"),
        py::arg("first"), py::arg("theta"), py::arg("theta_r"), py::arg("max_length"));
  m.def("patch_ends_from_entropy_lists", &patch_ends_from_entropy_lists, py::arg("offsets"),
        py::arg("values"), py::arg("first"), py::arg("theta"), py::arg("theta_r"),
        py::arg("max_length"));
  m.def("patch_ends", &patch_ends, py::arg("data"), py::arg("k"), py::arg("theta"),
        py::arg("theta_r"), py::arg("max_length"));
  m.def("patch_ends_arrow", &patch_ends_arrow, py::arg("validity"), py::arg("offsets"),
        py::arg("data"), py::arg("offset"), py::arg("length"), py::arg("offset_width"),
        py::arg("k"), py::arg("theta"), py::arg("theta_r"), py::arg("max_length"));
}

}  // namespace qelt_corpus
