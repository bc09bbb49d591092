// Views of the documents a call is given, read in place: a Python buffer of bytes, the
// buffers of an Arrow binary or string array, or a list of either. Each holds its
// buffer exports while it lives, so that an exporter cannot resize or free the memory
// being read (a bytearray refuses to resize, an mmap to close); so they are made and
// destroyed with the GIL held, and read with it released.
#ifndef QELT_CORPUS_NATIVE_VIEWS_H_
#define QELT_CORPUS_NATIVE_VIEWS_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "batch.h"

namespace qelt_corpus {

// `array` itself when its elements lie at addresses aligned for T, else an aligned copy.
// NumPy hands over misaligned arrays (views at odd byte offsets, arrays Dask unpickles
// from the middle of its frames), which the core may not read through a T pointer.
template <typename T, int Flags>
pybind11::array_t<T, Flags> aligned(const pybind11::array_t<T, Flags>& array) {
  if (reinterpret_cast<std::uintptr_t>(array.data()) % alignof(T) == 0) return array;
  return array.attr("copy")().template cast<pybind11::array_t<T, Flags>>();
}

// A read-only view of a Python buffer of single bytes. The constructor refuses
// anything else with TypeError (a str, an object without the buffer protocol, items
// wider than a byte) or ValueError (more than one dimension, not contiguous); `name`
// is the argument's name for the messages.
class ByteBuffer {
 public:
  ByteBuffer(pybind11::handle source, const char* name);
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The documents of one Arrow binary or string array, read from its buffers: document
// i is data[offsets[offset + i]] .. data[offsets[offset + i + 1]], null when bit
// offset + i of the validity bitmap is clear, with offsets `offset_width` (4 or 8)
// bytes wide. The layout is checked, so that a malformed array (offsets that decrease
// or point past the data, buffers too short) raises ValueError instead of being read
// out of bounds. A null document reads as empty.
class ArrowDocuments {
 public:
  ArrowDocuments(pybind11::handle validity, pybind11::handle offsets, pybind11::handle data,
                 std::size_t offset, std::size_t length, int offset_width);

  const qelt::ByteSpan* spans() const { return spans_.data(); }
  std::size_t count() const { return spans_.size(); }

 private:
  std::int64_t read_offset(std::size_t index, int width) const;
  bool is_valid(std::size_t bit) const;

  std::optional<ByteBuffer> offsets_, data_, validity_;
  std::vector<qelt::ByteSpan> spans_;
};

// Documents given as a list whose items are buffers (one document each) or tuples
// (validity, offsets, data, offset, length, offset width) describing an Arrow array's
// buffers, in order.
class DocumentList {
 public:
  explicit DocumentList(const pybind11::list& items);

  const qelt::ByteSpan* spans() const { return spans_.data(); }
  std::size_t count() const { return spans_.size(); }

 private:
  std::vector<std::unique_ptr<ByteBuffer>> buffers_;
  std::vector<std::unique_ptr<ArrowDocuments>> arrays_;
  std::vector<qelt::ByteSpan> spans_;
};

}  // namespace qelt_corpus

#endif  // QELT_CORPUS_NATIVE_VIEWS_H_
