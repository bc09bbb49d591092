// Reading packed shards: their arrays are NumPy arrays mapped from the shard files,
// read in place with the GIL released.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "bindings.h"
#include "packed.h"
#include "views.h"

namespace py = pybind11;

namespace qelt_corpus {

namespace {

// Bytes [begin, end) of a packed shard, copied, and whether a patch starts at each. The
// shard's arrays are read in place; `block_starts` are the starts of every `block`-th
// patch.
std::pair<py::array_t<std::uint8_t>, py::array_t<bool>> read_stretch(
    const py::array_t<std::uint8_t, py::array::c_style>& bytes,
    const py::array_t<std::uint32_t, py::array::c_style>& given_lengths,
    const py::array_t<std::uint64_t, py::array::c_style>& given_block_starts, std::size_t block,
    std::uint64_t begin, std::uint64_t end) {
  const auto lengths = aligned(given_lengths);
  const auto block_starts = aligned(given_block_starts);
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
    const py::array_t<std::uint32_t, py::array::c_style>& given_lengths, std::size_t block) {
  const auto lengths = aligned(given_lengths);
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

void bind_packed(py::module_& m) {
  m.def("read_stretch", &read_stretch, py::arg("bytes"), py::arg("lengths"),
        py::arg("block_starts"), py::arg("block"), py::arg("begin"), py::arg("end"));
  m.def("sum_length_blocks", &sum_length_blocks, py::arg("lengths"), py::arg("block"));
}

}  // namespace qelt_corpus
