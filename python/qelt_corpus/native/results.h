// Results as NumPy arrays, and the shape every patching call shares: read the input
// with the GIL held, run the core with it released, hand the ends to NumPy.
#ifndef QELT_CORPUS_NATIVE_RESULTS_H_
#define QELT_CORPUS_NATIVE_RESULTS_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "batch.h"
#include "thresholds.h"
#include "views.h"

namespace qelt_corpus {

static_assert(sizeof(std::size_t) == sizeof(std::int64_t),
              "patch ends are handed to NumPy as int64");

// The thresholds as Python gives them (doubles), each narrowed to single precision,
// round to nearest, as patching compares them.
inline qelt::Thresholds thresholds(double theta, double theta_r) {
  return {static_cast<float>(theta), static_cast<float>(theta_r)};
}

// A NumPy array over the elements of `values`, which it takes over without a copy:
// the array's base is a capsule that owns the vector.
template <typename Element, typename T>
pybind11::array_t<Element> to_numpy(std::vector<T>&& values) {
  static_assert(sizeof(Element) == sizeof(T), "the array reinterprets the vector's elements");
  auto* owned = new std::vector<T>(std::move(values));
  pybind11::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return pybind11::array_t<Element>({static_cast<pybind11::ssize_t>(owned->size())},
                                    reinterpret_cast<const Element*>(owned->data()), owner);
}

// The patch ends of a batch as NumPy arrays: list offsets (int32, as in an Arrow list
// array) and the ends themselves (int64). ValueError beyond 2^31 - 1 ends.
pybind11::tuple batch_to_numpy(qelt::BatchEnds&& batch);

// The ends of the document in the buffer `data` (the argument `name`), from
// `ends_of(bytes, size)` run with the GIL released, each patch limited to
// `max_length` (0: no limit).
template <typename EndsOf>
pybind11::array_t<std::int64_t> ends_of_buffer(pybind11::handle data, const char* name,
                                               std::size_t max_length, const EndsOf& ends_of) {
  const ByteBuffer bytes(data, name);
  std::vector<std::size_t> ends;
  {
    pybind11::gil_scoped_release release;
    ends = qelt::limit_patch_length(ends_of(bytes.data(), bytes.size()), max_length);
  }
  return to_numpy<std::int64_t>(std::move(ends));
}

// The list offsets and ends of the documents of one Arrow array's buffers, from
// `batch_of(spans, count)` run with the GIL released.
template <typename BatchOf>
pybind11::tuple ends_of_arrow(pybind11::handle validity, pybind11::handle offsets,
                              pybind11::handle data, std::size_t offset, std::size_t length,
                              int offset_width, const BatchOf& batch_of) {
  qelt::BatchEnds batch;
  {
    // The buffers are acquired with the GIL held, and released with it held again.
    const ArrowDocuments documents(validity, offsets, data, offset, length, offset_width);
    pybind11::gil_scoped_release release;
    batch = batch_of(documents.spans(), documents.count());
  }
  return batch_to_numpy(std::move(batch));
}

}  // namespace qelt_corpus

#endif  // QELT_CORPUS_NATIVE_RESULTS_H_
