// The class Model: a context model loaded from a file or an image, queried, and used
// to patch documents.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "bindings.h"
#include "context_model.h"
#include "model_scoring.h"
#include "results.h"
#include "views.h"

namespace py = pybind11;

namespace qelt_corpus {

namespace {

// A file that cannot be read is an OSError of its errno (FileNotFoundError and the
// like) that names the file, as Python's own open raises.
qelt::ContextModel load_model(const std::string& path) {
  int error = 0;
  try {
    const py::gil_scoped_release release;
    return qelt::ContextModel::load(path);
  } catch (const std::system_error& e) {
    error = e.code().value();
  }
  py::object os_error = py::reinterpret_borrow<py::object>(PyExc_OSError)(
      error, std::strerror(error), py::bytes(path));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(os_error.ptr())), os_error.ptr());
  throw py::error_already_set();
}

qelt::ContextModel model_from_image(py::handle data) {
  const ByteBuffer bytes(data, "image");
  std::vector<std::uint8_t> image(bytes.data(), bytes.data() + bytes.size());
  const py::gil_scoped_release release;
  return qelt::ContextModel::from_image(std::move(image));
}

py::array_t<std::int64_t> model_patch_ends(const qelt::ContextModel& model, py::handle data,
                                           double theta, double theta_r,
                                           std::size_t max_length, const qelt::Reading& reading) {
  const qelt::Thresholds limits = thresholds(theta, theta_r);
  return ends_of_buffer(data, "document", max_length,
                        [&](const std::uint8_t* bytes, std::size_t size) {
                          return qelt::patch_ends(model, bytes, size, limits, reading);
                        });
}

py::tuple model_patch_ends_arrow(const qelt::ContextModel& model, py::handle validity,
                                 py::handle offsets, py::handle data, std::size_t offset,
                                 std::size_t length, int offset_width, double theta,
                                 double theta_r, std::size_t max_length, const qelt::Reading& reading) {
  const qelt::Thresholds limits = thresholds(theta, theta_r);
  return ends_of_arrow(validity, offsets, data, offset, length, offset_width,
                       [&](const qelt::ByteSpan* spans, std::size_t count) {
                         return qelt::patch_ends_batch(model, spans, count, limits, max_length,
                                                       reading);
                       });
}

// What calibration needs of the documents: (bytes, fixed, evaluated, entropies as
// float32, positions as uint64).
py::tuple model_calibration(const qelt::ContextModel& model, const py::list& items,
                            double theta_r, const qelt::Reading& reading) {
  const DocumentList documents(items);
  qelt::CalibrationLevels levels;
  {
    const py::gil_scoped_release release;
    levels = qelt::calibration_levels(model, documents.spans(), documents.count(),
                                      thresholds(0.0, theta_r).theta_r, reading);
  }
  std::vector<float> entropies(levels.levels.size());
  std::vector<std::uint64_t> positions(levels.levels.size());
  for (std::size_t i = 0; i < levels.levels.size(); ++i) {
    entropies[i] = levels.levels[i].first;
    positions[i] = levels.levels[i].second;
  }
  return py::make_tuple(levels.bytes, levels.fixed, levels.evaluated,
                        to_numpy<float>(std::move(entropies)),
                        to_numpy<std::uint64_t>(std::move(positions)));
}

// The theta of calibration levels given as calibration() returns them (the entropies
// told apart by their bits).
float choose_theta(std::uint64_t bytes, std::uint64_t fixed, std::uint64_t evaluated,
                   const py::array_t<float, py::array::c_style | py::array::forcecast>& entropies,
                   const py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>&
                       positions,
                   double target) {
  if (entropies.size() != positions.size()) {
    throw py::value_error("as many entropies as counts of positions are needed");
  }
  qelt::CalibrationLevels levels;
  levels.bytes = bytes;
  levels.fixed = fixed;
  levels.evaluated = evaluated;
  const auto entropies_in = aligned(entropies);
  const auto positions_in = aligned(positions);
  const float* h = entropies_in.data();
  const std::uint64_t* n = positions_in.data();
  for (py::ssize_t i = 0; i < entropies.size(); ++i) levels.levels.emplace_back(h[i], n[i]);
  const py::gil_scoped_release release;
  levels.merge({});  // in the order the core sorts them
  return qelt::choose_theta(levels, target);
}

// The next-byte distribution after `context` (its last k bytes).
py::array_t<double> model_probabilities(const qelt::ContextModel& model, py::handle context) {
  const ByteBuffer bytes(context, "context");
  py::array_t<double> out(256);
  double* values = out.mutable_data();
  {
    const py::gil_scoped_release release;
    model.probabilities(bytes.data(), bytes.size(), values);
  }
  return out;
}

float model_entropy(const qelt::ContextModel& model, py::handle context) {
  const ByteBuffer bytes(context, "context");
  const py::gil_scoped_release release;
  return model.entropy_after(bytes.data(), bytes.size());
}

// The entropy at every position of `document`, and the log2 probability of its byte
// too when `with_log_probs`.
py::tuple model_score(const qelt::ContextModel& model, py::handle document, bool with_log_probs,
                      const qelt::Reading& reading) {
  const ByteBuffer bytes(document, "document");
  std::vector<float> entropies(bytes.size());
  std::vector<double> log_probs(with_log_probs ? bytes.size() : 0);
  {
    const py::gil_scoped_release release;
    qelt::score(model, bytes.data(), bytes.size(), entropies.data(),
                with_log_probs ? log_probs.data() : nullptr, reading);
  }
  return py::make_tuple(to_numpy<float>(std::move(entropies)),
                        to_numpy<double>(std::move(log_probs)));
}

// The sums of evaluate over the documents: (bytes, documents, bits, entropy bits,
// bytes of probability 0).
py::tuple model_evaluate(const qelt::ContextModel& model, const py::list& items, const qelt::Reading& reading) {
  const DocumentList documents(items);
  qelt::Evaluation evaluation;
  {
    const py::gil_scoped_release release;
    evaluation = qelt::evaluate(model, documents.spans(), documents.count(), reading);
  }
  return py::make_tuple(evaluation.bytes, evaluation.documents, evaluation.bits,
                        evaluation.entropy_bits, evaluation.zero_probability_bytes);
}

}  // namespace

void bind_model(py::module_& m) {
  // The model's image is exposed through the buffer protocol, so that saving it is a
  // write from the image itself, which a memoryview keeps alive.
  py::class_<qelt::ContextModel>(m, "Model", py::buffer_protocol())
      .def_static("load", &load_model, py::arg("path"))
      .def_static("from_image", &model_from_image, py::arg("image"))
      .def_property_readonly("k", &qelt::ContextModel::k)
      .def_property_readonly("min_count", &qelt::ContextModel::min_count)
      .def_property_readonly("size", &qelt::ContextModel::size)
      .def_property_readonly("contexts_by_length",
                             [](const qelt::ContextModel& model) {
                               py::tuple counts(model.k() + 1);
                               for (int j = 0; j <= model.k(); ++j) {
                                 counts[j] = model.contexts_of_length(j);
                               }
                               return counts;
                             })
      .def_buffer([](const qelt::ContextModel& model) {
        return py::buffer_info(const_cast<std::uint8_t*>(model.image()),
                               static_cast<py::ssize_t>(model.image_size()), true);
      })
      .def("patch_ends", &model_patch_ends, py::arg("document"), py::arg("theta"),
           py::arg("theta_r"), py::arg("max_length"), py::arg("reading"))
      .def("patch_ends_arrow", &model_patch_ends_arrow, py::arg("validity"), py::arg("offsets"),
           py::arg("data"), py::arg("offset"), py::arg("length"), py::arg("offset_width"),
           py::arg("theta"), py::arg("theta_r"), py::arg("max_length"), py::arg("reading"))
      .def("calibration", &model_calibration, py::arg("documents"), py::arg("theta_r"),
           py::arg("reading"))
      .def_property_readonly("kind",
                             [](const qelt::ContextModel& model) {
                               return std::string(model.kind().name);
                             })
      .def_property_readonly("version", &qelt::ContextModel::version)
      .def_property_readonly("has_probabilities", &qelt::ContextModel::has_probabilities)
      .def("probabilities", &model_probabilities, py::arg("context"))
      .def("entropy", &model_entropy, py::arg("context"))
      .def("score", &model_score, py::arg("document"), py::arg("with_log_probs"),
           py::arg("reading"))
      .def("evaluate", &model_evaluate, py::arg("documents"), py::arg("reading"));
  m.def("choose_theta", &choose_theta, py::arg("bytes"), py::arg("fixed"),
        py::arg("evaluated"), py::arg("entropies"), py::arg("positions"), py::arg("target"));
}

}  // namespace qelt_corpus
