// The views check every layout before reading: a buffer is read only once it is
// known to be contiguous single bytes, an Arrow array only once each of its offsets is
// known to lie within its data.

#include "views.h"

#include <cstring>
#include <limits>
#include <string>

namespace py = pybind11;

namespace qelt_corpus {

namespace {

// 'B', 'b' or 'c', possibly after a byte-order mark (which means nothing for bytes).
bool is_byte_format(const char* format) {
  if (format == nullptr) return true;
  if (std::strchr("@=<>!", format[0]) != nullptr && format[0] != '\0') ++format;
  return std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
         std::strcmp(format, "c") == 0;
}

}  // namespace

ByteBuffer::ByteBuffer(py::handle source, const char* name) {
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

ByteBuffer::~ByteBuffer() {
  if (held_) PyBuffer_Release(&view_);
}

ArrowDocuments::ArrowDocuments(py::handle validity, py::handle offsets, py::handle data,
                               std::size_t offset, std::size_t length, int offset_width) {
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

std::int64_t ArrowDocuments::read_offset(std::size_t index, int width) const {
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

bool ArrowDocuments::is_valid(std::size_t bit) const {
  return !validity_ || (validity_->data()[bit / 8] >> (bit % 8) & 1) != 0;
}

DocumentList::DocumentList(const py::list& items) {
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

}  // namespace qelt_corpus
