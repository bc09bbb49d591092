// The Python module `qelt`: bindings of the core's patching function and classes.
//
// Conversion is pybind11's, with two fast paths for the large values of
// `patch_sequence` (see the casters below); each accepts and refuses exactly what
// pybind11's own conversion does.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "frequency_table.h"
#include "patcher.h"
#include "patching.h"

namespace py = pybind11;

namespace {

// A sequence and the ends of its patches: the PatchList of `patch_sequence`,
// converted to Python lists without first building a vector per patch.
struct Patches {
  qelt::ByteSequence bytes;
  std::vector<std::size_t> ends;
};

Patches patch_sequence(qelt::ByteSequence bytes, std::int32_t k, float theta, float theta_r) {
  std::vector<std::size_t> ends = qelt::patch_ends(bytes.data(), bytes.size(), k, theta, theta_r);
  return Patches{std::move(bytes), std::move(ends)};
}

}  // namespace

namespace pybind11 {
namespace detail {

// Byte sequences: an exact `bytearray` is copied whole, and an exact `list` or
// `tuple` of exact `int`s is read directly; anything else, or any element outside
// 0..255, goes through pybind11's list caster, which then decides. Neither fast
// path runs Python code, so what they accept is exactly what the list caster would.
template <>
struct type_caster<qelt::ByteSequence> : list_caster<qelt::ByteSequence, std::uint8_t> {
  bool load(handle src, bool convert) {
    return load_exact(src.ptr()) || list_caster::load(src, convert);
  }

 private:
  bool load_exact(PyObject* src) {
    if (PyByteArray_CheckExact(src)) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(src));
      value.assign(data, data + PyByteArray_GET_SIZE(src));
      return true;
    }
    if (!PyList_CheckExact(src) && !PyTuple_CheckExact(src)) return false;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(src);
    PyObject** items = PySequence_Fast_ITEMS(src);
    value.resize(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!PyLong_CheckExact(items[i])) return false;
      int overflow = 0;
      const long v = PyLong_AsLongAndOverflow(items[i], &overflow);
      if (overflow != 0 || v < 0 || v > 255) return false;
      value[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    }
    return true;
  }
};

// Pauses the cyclic garbage collector for its lifetime, if it was running.
//
// Building a million lists would otherwise set it off every few hundred, and its
// older generations would walk everything built so far again and again: most of
// the time of a large result. While the result is built no Python code runs, so the
// pause changes when a collection happens, never what it finds.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  int was_enabled_;
};

// Patches become a new list holding one new list of ints per patch.
template <>
struct type_caster<Patches> {
  PYBIND11_TYPE_CASTER(Patches, const_name("list[list[int]]"));

  bool load(handle, bool) { return false; }  // results only

  static handle cast(const Patches& patches, return_value_policy, handle) {
    const CollectorPause pause;
    object byte_values[256];  // the int objects for 0..255, made once per call
    for (int b = 0; b < 256; ++b) byte_values[b] = reinterpret_steal<object>(PyLong_FromLong(b));
    // Lists are made raw and a failure rethrown as it is, so that running out of
    // memory surfaces as MemoryError (a null result would become a TypeError).
    object result = reinterpret_steal<object>(
        PyList_New(static_cast<Py_ssize_t>(patches.ends.size())));
    if (!result) throw error_already_set();
    std::size_t begin = 0;
    for (std::size_t j = 0; j < patches.ends.size(); ++j) {
      const std::size_t end = patches.ends[j];
      PyObject* patch = PyList_New(static_cast<Py_ssize_t>(end - begin));
      if (patch == nullptr) throw error_already_set();  // `result` is released
      for (std::size_t i = begin; i < end; ++i) {
        PyList_SET_ITEM(patch, static_cast<Py_ssize_t>(i - begin),
                        byte_values[patches.bytes[i]].inc_ref().ptr());
      }
      PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(j), patch);
      begin = end;
    }
    return result.release();
  }
};

}  // namespace detail
}  // namespace pybind11

PYBIND11_MODULE(qelt, m) {
  m.doc() = "QAV-MOS sequence patching module";

  m.def("patch_sequence", &patch_sequence,
        "Divide a sequence into patches based on entropy thresholds", py::arg("bytes"),
        py::arg("k"), py::arg("theta"), py::arg("theta_r"));

  // Methods are bound through functions taking the instance by reference: bound as
  // member pointers, pybind11 would hand a `None` passed as `self` (as in
  // `Patcher.reset(None)`) to native code as a null object.
  py::class_<qelt::Patcher>(m, "Patcher")
      .def(py::init<>())
      .def("patch_sequence",
           [](qelt::Patcher& self, const qelt::ByteString& sequence,
              std::vector<std::int32_t>& indices) { self.patch_sequence(sequence, indices); })
      .def("get_patched_sequence",
           [](const qelt::Patcher& self) { return self.get_patched_sequence(); })
      .def("reset", [](qelt::Patcher& self) { self.reset(); });

  py::class_<qelt::FrequencyTable>(m, "FrequencyTable")
      .def(py::init<>())
      .def("add_sequence", [](qelt::FrequencyTable& self,
                              const qelt::ByteString& sequence) { self.add_sequence(sequence); })
      .def("get_frequency",
           [](const qelt::FrequencyTable& self, const qelt::ByteString& ngram) {
             return self.get_frequency(ngram);
           })
      .def("clear", [](qelt::FrequencyTable& self) { self.clear(); });
}
