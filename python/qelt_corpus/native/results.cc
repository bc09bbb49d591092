// Results handed to NumPy.

#include "results.h"

#include <limits>

namespace py = pybind11;

namespace qelt_corpus {

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

}  // namespace qelt_corpus
