// The native part of `qelt_corpus`: the core's patching over buffers and Arrow
// arrays, results as NumPy arrays.
//
// Every function reads its input in place through the buffer protocol and releases
// the GIL while the core runs. The buffer exports stay held across that time, so an
// exporter cannot resize or free the memory being read (a bytearray refuses to
// resize, an mmap to close). Results are vectors handed to NumPy without a copy: the
// array's base is a capsule that owns the vector.
//
// Argument conversion with readable messages is done by the Python layer; this file
// checks only what it alone can see: the layout of buffers and Arrow arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "batch.h"
#include "context_counts.h"
#include "context_model.h"
#include "packed.h"
#include "patching.h"

namespace py = pybind11;

namespace {

static_assert(sizeof(std::size_t) == sizeof(std::int64_t),
              "patch ends are handed to NumPy as int64");

// A read-only view of a Python buffer of single bytes, held while the object lives.
// The constructor refuses anything else with TypeError or ValueError; `name` is the
// argument's name for the messages.
class ByteBuffer {
 public:
  ByteBuffer(py::handle source, const char* name) {
    if (PyUnicode_Check(source.ptr())) {
      throw py::type_error(std::string(name) +
                           " must be a bytes-like object, not str: encode it first "
                           "(for example text.encode())");
    }
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      throw py::type_error(std::string(name) +
                           " must be a bytes-like object (bytes, bytearray, memoryview, mmap "
                           "or a uint8 array), not " +
                           std::string(Py_TYPE(source.ptr())->tp_name));
    }
    held_ = true;
    if (!is_byte_format(view_.format) || view_.itemsize != 1) {
      throw py::type_error(std::string(name) + " must hold single bytes, not items of format '" +
                           (view_.format ? view_.format : "B") + "' and size " +
                           std::to_string(view_.itemsize));
    }
    if (view_.ndim != 1) {
      throw py::value_error(std::string(name) + " must be one-dimensional, not " +
                            std::to_string(view_.ndim) + "-dimensional");
    }
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
      throw py::value_error(std::string(name) +
                            " must be C-contiguous (for an array: numpy.ascontiguousarray)");
    }
  }
  ~ByteBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  // 'B', 'b' or 'c', possibly after a byte-order mark (which means nothing for bytes).
  static bool is_byte_format(const char* format) {
    if (format == nullptr) return true;
    if (std::strchr("@=<>!", format[0]) != nullptr && format[0] != '\0') ++format;
    return std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
           std::strcmp(format, "c") == 0;
  }

  Py_buffer view_{};
  bool held_ = false;
};

// A NumPy array over the elements of `values`, which it takes over without a copy.
template <typename Element, typename T>
py::array_t<Element> to_numpy(std::vector<T>&& values) {
  static_assert(sizeof(Element) == sizeof(T), "the array reinterprets the vector's elements");
  auto* owned = new std::vector<T>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<Element>({static_cast<py::ssize_t>(owned->size())},
                              reinterpret_cast<const Element*>(owned->data()), owner);
}

// The documents of one Arrow binary or string array, read from its buffers in place:
// document i is data[offsets[offset + i]] .. data[offsets[offset + i + 1]], null when
// bit offset + i of the validity bitmap is clear. Offsets are `offset_width` (4 or 8)
// bytes wide. The layout is checked, so that a malformed array (offsets that decrease
// or point past the data) raises ValueError instead of being read out of bounds. A null
// document reads as empty.
class ArrowDocuments {
 public:
  ArrowDocuments(py::handle validity, py::handle offsets, py::handle data, std::size_t offset,
                 std::size_t length, int offset_width) {
    if (offset_width != 4 && offset_width != 8) throw py::value_error("offset width is 4 or 8");
    if (length == 0) return;
    if (offsets.is_none()) throw py::value_error("invalid Arrow array: no offsets buffer");
    offsets_.emplace(offsets, "offsets buffer");
    if (!data.is_none()) data_.emplace(data, "data buffer");
    if (!validity.is_none()) validity_.emplace(validity, "validity bitmap");

    const std::size_t limit = std::numeric_limits<std::size_t>::max() / 8 - 1;
    if (length > limit || offset > limit - length) {
      throw py::value_error("invalid Arrow array: offset and length out of range");
    }
    if (offsets_->size() / offset_width < offset + length + 1) {
      throw py::value_error("invalid Arrow array: the offsets buffer is too short");
    }
    if (validity_ && validity_->size() < (offset + length + 7) / 8) {
      throw py::value_error("invalid Arrow array: the validity bitmap is too short");
    }
    const std::size_t data_size = data_ ? data_->size() : 0;
    const std::uint8_t* bytes = data_ ? data_->data() : nullptr;
    spans_.resize(length);
    std::int64_t begin = read_offset(offset, offset_width);
    for (std::size_t i = 0; i < length; ++i) {
      const std::int64_t end = read_offset(offset + i + 1, offset_width);
      if (begin < 0 || end < begin || static_cast<std::uint64_t>(end) > data_size) {
        throw py::value_error("invalid Arrow array: offsets out of order or past the data");
      }
      if (is_valid(offset + i)) {
        spans_[i] = {bytes + begin, static_cast<std::size_t>(end - begin)};
      }
      begin = end;
    }
  }

  const qelt::ByteSpan* spans() const { return spans_.data(); }
  std::size_t count() const { return spans_.size(); }

 private:
  std::int64_t read_offset(std::size_t index, int width) const {
    // Copied out byte-wise: a buffer made by hand need not be aligned.
    const std::uint8_t* at = offsets_->data() + index * width;
    if (width == 4) {
      std::int32_t value;
      std::memcpy(&value, at, 4);
      return value;
    }
    std::int64_t value;
    std::memcpy(&value, at, 8);
    return value;
  }

  bool is_valid(std::size_t bit) const {
    return !validity_ || (validity_->data()[bit / 8] >> (bit % 8) & 1) != 0;
  }

  std::optional<ByteBuffer> offsets_, data_, validity_;
  std::vector<qelt::ByteSpan> spans_;
};

// Documents given as a list whose items are buffers (one document each) or tuples
// (validity, offsets, data, offset, length, offset width) describing an Arrow array's
// buffers, all held while the object lives.
class DocumentList {
 public:
  explicit DocumentList(const py::list& items) {
    for (const py::handle item : items) {
      if (py::isinstance<py::tuple>(item)) {
        const auto chunk = item.cast<py::tuple>();
        if (chunk.size() != 6) throw py::value_error("an Arrow chunk is a 6-tuple");
        arrays_.push_back(std::make_unique<ArrowDocuments>(
            chunk[0], chunk[1], chunk[2], chunk[3].cast<std::size_t>(),
            chunk[4].cast<std::size_t>(), chunk[5].cast<int>()));
        spans_.insert(spans_.end(), arrays_.back()->spans(),
                      arrays_.back()->spans() + arrays_.back()->count());
      } else {
        buffers_.push_back(std::make_unique<ByteBuffer>(item, "each document"));
        spans_.push_back({buffers_.back()->data(), buffers_.back()->size()});
      }
    }
  }

  const qelt::ByteSpan* spans() const { return spans_.data(); }
  std::size_t count() const { return spans_.size(); }

 private:
  std::vector<std::unique_ptr<ByteBuffer>> buffers_;
  std::vector<std::unique_ptr<ArrowDocuments>> arrays_;
  std::vector<qelt::ByteSpan> spans_;
};

// The patch ends of a batch as NumPy arrays: list offsets (int32, as in an Arrow list
// array) and the ends themselves (int64).
py::tuple batch_to_numpy(qelt::BatchEnds&& batch) {
  if (batch.ends.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw py::value_error(
        "more than 2**31 - 1 patches in one array: pass the documents as a chunked array "
        "of smaller chunks");
  }
  std::vector<std::int32_t> offsets(batch.offsets.begin(), batch.offsets.end());
  return py::make_tuple(to_numpy<std::int32_t>(std::move(offsets)),
                        to_numpy<std::int64_t>(std::move(batch.ends)));
}

// The ends of the document in the buffer `data` (the argument `name`), from
// `ends_of(bytes, size)` run with the GIL released, each patch limited to
// `max_length` (0: no limit).
template <typename EndsOf>
py::array_t<std::int64_t> ends_of_buffer(py::handle data, const char* name,
                                         std::size_t max_length, const EndsOf& ends_of) {
  const ByteBuffer bytes(data, name);
  std::vector<std::size_t> ends;
  {
    py::gil_scoped_release release;
    ends = qelt::limit_patch_length(ends_of(bytes.data(), bytes.size()), max_length);
  }
  return to_numpy<std::int64_t>(std::move(ends));
}

// The list offsets and ends of the documents of one Arrow array's buffers, from
// `batch_of(spans, count)` run with the GIL released.
template <typename BatchOf>
py::tuple ends_of_arrow(py::handle validity, py::handle offsets, py::handle data,
                        std::size_t offset, std::size_t length, int offset_width,
                        const BatchOf& batch_of) {
  qelt::BatchEnds batch;
  {
    // The buffers are acquired with the GIL held, and released with it held again.
    const ArrowDocuments documents(validity, offsets, data, offset, length, offset_width);
    py::gil_scoped_release release;
    batch = batch_of(documents.spans(), documents.count());
  }
  return batch_to_numpy(std::move(batch));
}

py::array_t<std::int64_t> patch_ends(py::handle data, std::int32_t k, double theta,
                                     double theta_r, std::size_t max_length) {
  return ends_of_buffer(data, "data", max_length,
                        [&](const std::uint8_t* bytes, std::size_t size) {
    return qelt::patch_ends(bytes, size, k, static_cast<float>(theta),
                            static_cast<float>(theta_r));
  });
}

py::tuple patch_ends_arrow(py::handle validity, py::handle offsets, py::handle data,
                           std::size_t offset, std::size_t length, int offset_width,
                           std::int32_t k, double theta, double theta_r,
                           std::size_t max_length) {
  return ends_of_arrow(validity, offsets, data, offset, length, offset_width,
                       [&](const qelt::ByteSpan* spans, std::size_t count) {
                         return qelt::patch_ends_batch(spans, count, k,
                                                       static_cast<float>(theta),
                                                       static_cast<float>(theta_r), max_length);
                       });
}

// Context counts behind a lock: they are changed with the GIL released, and two
// threads adding to one object at once must take turns.
class Counts {
 public:
  explicit Counts(int k) : counts_(k) {}
  explicit Counts(qelt::ContextCounts counts) : counts_(std::move(counts)) {}

  int k() const { return counts_.k(); }

  std::uint64_t positions() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.positions();
  }

  void add(py::handle data) {
    const ByteBuffer bytes(data, "document");
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    counts_.add(bytes.data(), bytes.size());
  }

  void add_documents(const py::list& items) {
    const DocumentList documents(items);
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    counts_.add_batch(documents.spans(), documents.count());
  }

  // Adds the counts of `others` (this object may be among them), room made for all at
  // once. Every object involved is locked, in order of address, so that two merges
  // crossing each other cannot wait on each other.
  void merge(const std::vector<Counts*>& others) {
    const py::gil_scoped_release release;
    std::vector<std::mutex*> mutexes{&mutex_};
    std::vector<const qelt::ContextCounts*> counts;
    for (Counts* other : others) {
      mutexes.push_back(&other->mutex_);
      counts.push_back(&other->counts_);
    }
    std::sort(mutexes.begin(), mutexes.end());
    mutexes.erase(std::unique(mutexes.begin(), mutexes.end()), mutexes.end());
    std::vector<std::unique_lock<std::mutex>> locks;
    for (std::mutex* mutex : mutexes) locks.emplace_back(*mutex);
    counts_.merge(counts.data(), counts.size());
  }

  qelt::ContextModel to_model(std::uint64_t min_count, std::uint64_t max_bytes) {
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.to_model(min_count, max_bytes);
  }

  std::uint64_t smallest_model_bytes(std::uint64_t min_count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.smallest_model_bytes(min_count);
  }

  py::bytes serialize() {
    std::string encoded;
    {
      const py::gil_scoped_release release;
      const std::lock_guard<std::mutex> lock(mutex_);
      encoded = counts_.serialize();
    }
    return py::bytes(encoded);
  }

  static std::unique_ptr<Counts> deserialize(py::handle data) {
    const ByteBuffer bytes(data, "state");
    const py::gil_scoped_release release;
    return std::make_unique<Counts>(qelt::ContextCounts::deserialize(bytes.data(), bytes.size()));
  }

 private:
  std::mutex mutex_;
  qelt::ContextCounts counts_;
};

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
      error, std::strerror(error), path);
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
                                           std::size_t max_length) {
  return ends_of_buffer(data, "document", max_length,
                        [&](const std::uint8_t* bytes, std::size_t size) {
    return model.patch_ends(bytes, size, static_cast<float>(theta), static_cast<float>(theta_r));
  });
}

py::tuple model_patch_ends_arrow(const qelt::ContextModel& model, py::handle validity,
                                 py::handle offsets, py::handle data, std::size_t offset,
                                 std::size_t length, int offset_width, double theta,
                                 double theta_r, std::size_t max_length) {
  return ends_of_arrow(validity, offsets, data, offset, length, offset_width,
                       [&](const qelt::ByteSpan* spans, std::size_t count) {
                         return model.patch_ends_batch(spans, count, static_cast<float>(theta),
                                                       static_cast<float>(theta_r), max_length);
                       });
}

float model_calibrate(const qelt::ContextModel& model, const py::list& items, double target,
                      double theta_r) {
  const DocumentList documents(items);
  const py::gil_scoped_release release;
  return model.calibrate(documents.spans(), documents.count(), target,
                         static_cast<float>(theta_r));
}

// Bytes that are not a model file or a counts encoding raise
// qelt_corpus.ModelFormatError, with the reason the core gives.
void translate_format_error(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const qelt::ModelFormatError& e) {
    const py::object type = py::module_::import("qelt_corpus._errors").attr("ModelFormatError");
    const py::object instance = type(std::string(e.what()), e.reason_name());
    PyErr_SetObject(type.ptr(), instance.ptr());
  }
}

// Bytes [begin, end) of a packed shard, copied, and whether a patch starts at each. The
// shard's arrays are read in place; `block_starts` are the starts of every `block`-th
// patch.
std::pair<py::array_t<std::uint8_t>, py::array_t<bool>> read_stretch(
    const py::array_t<std::uint8_t, py::array::c_style>& bytes,
    const py::array_t<std::uint32_t, py::array::c_style>& lengths,
    const py::array_t<std::uint64_t, py::array::c_style>& block_starts, std::size_t block,
    std::uint64_t begin, std::uint64_t end) {
  const auto size = static_cast<std::uint64_t>(bytes.size());
  if (begin > end || end > size) throw py::value_error("need begin <= end <= the shard's size");
  if (block_starts.size() == 0 || block == 0) {
    throw py::value_error("need a first block start and a block of at least 1");
  }
  const qelt::PackedShard shard{bytes.data(), size,
                                lengths.data(), static_cast<std::size_t>(lengths.size()),
                                block_starts.data(), static_cast<std::size_t>(block_starts.size()),
                                block};
  py::array_t<std::uint8_t> data(static_cast<py::ssize_t>(end - begin));
  py::array_t<bool> starts(static_cast<py::ssize_t>(end - begin));
  std::uint8_t* data_out = data.mutable_data();
  auto* starts_out = reinterpret_cast<std::uint8_t*>(starts.mutable_data());
  {
    py::gil_scoped_release release;
    qelt::read_stretch(shard, begin, end, data_out, starts_out);
  }
  return {std::move(data), std::move(starts)};
}

// The sums of consecutive blocks of `block` patch lengths (a uint32 array, read in place).
py::array_t<std::uint64_t> sum_length_blocks(
    const py::array_t<std::uint32_t, py::array::c_style>& lengths, std::size_t block) {
  if (block == 0) throw py::value_error("block must be at least 1");
  const std::size_t count = static_cast<std::size_t>(lengths.size());
  py::array_t<std::uint64_t> sums(static_cast<py::ssize_t>((count + block - 1) / block));
  const std::uint32_t* data = lengths.data();
  std::uint64_t* out = sums.mutable_data();
  {
    py::gil_scoped_release release;
    qelt::sum_length_blocks(data, count, block, out);
  }
  return sums;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native part of qelt_corpus; use the functions of qelt_corpus instead.";
  m.def("patch_ends", &patch_ends, py::arg("data"), py::arg("k"), py::arg("theta"),
        py::arg("theta_r"), py::arg("max_length"));
  m.def("read_stretch", &read_stretch, py::arg("bytes"), py::arg("lengths"),
        py::arg("block_starts"), py::arg("block"), py::arg("begin"), py::arg("end"));
  m.def("sum_length_blocks", &sum_length_blocks, py::arg("lengths"), py::arg("block"));
  m.def("patch_ends_arrow", &patch_ends_arrow, py::arg("validity"), py::arg("offsets"),
        py::arg("data"), py::arg("offset"), py::arg("length"), py::arg("offset_width"),
        py::arg("k"), py::arg("theta"), py::arg("theta_r"), py::arg("max_length"));

  py::register_exception_translator(&translate_format_error);

  py::class_<Counts>(m, "Counts")
      .def(py::init<int>(), py::arg("k"))
      .def_property_readonly("k", &Counts::k)
      .def_property_readonly("positions", &Counts::positions)
      .def("add", &Counts::add, py::arg("document"))
      .def("add_documents", &Counts::add_documents, py::arg("documents"))
      .def("merge", &Counts::merge, py::arg("others"))
      .def("to_model", &Counts::to_model, py::arg("min_count"), py::arg("max_bytes"))
      .def("smallest_model_bytes", &Counts::smallest_model_bytes, py::arg("min_count"))
      .def("serialize", &Counts::serialize)
      .def_static("deserialize", &Counts::deserialize, py::arg("state"));

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
           py::arg("theta_r"), py::arg("max_length"))
      .def("patch_ends_arrow", &model_patch_ends_arrow, py::arg("validity"), py::arg("offsets"),
           py::arg("data"), py::arg("offset"), py::arg("length"), py::arg("offset_width"),
           py::arg("theta"), py::arg("theta_r"), py::arg("max_length"))
      .def("calibrate", &model_calibrate, py::arg("documents"), py::arg("target"),
           py::arg("theta_r"));
}
