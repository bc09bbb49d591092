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
  std::vector<std::size_t> ends =
      qelt::patch_ends(bytes.data(), bytes.size(), k, qelt::Thresholds{theta, theta_r});
  return Patches{std::move(bytes), std::move(ends)};
}

}  // namespace

namespace pybind11 {
namespace detail {

// The int objects for the byte values 0..255, made once per conversion. CPython
// keeps these values as one array of equally spaced cached objects, so an element
// of a list can be recognised as one of them by its address alone, with no call;
// the layout is checked, and where it differs every element takes the call.
class ByteValueObjects {
 public:
  ByteValueObjects() {
    for (int b = 0; b < 256; ++b) objects_[b] = reinterpret_steal<object>(PyLong_FromLong(b));
    base_ = address(objects_[0].ptr());
    const std::uintptr_t stride = address(objects_[1].ptr()) - base_;
    if (stride == 0 || (stride & (stride - 1)) != 0) return;
    for (int b = 0; b < 256; ++b) {
      if (address(objects_[b].ptr()) != base_ + b * stride) return;
    }
    shift_ = __builtin_ctzll(stride);
  }

  // A new reference to the int object for `byte`.
  PyObject* get(std::uint8_t byte) const { return objects_[byte].inc_ref().ptr(); }

  // The byte value whose object `item` is, or -1 if it is none of them.
  int value_of(PyObject* item) const {
    if (shift_ < 0) return -1;
    const std::uintptr_t offset = address(item) - base_;
    if (offset >= (std::uintptr_t{256} << shift_) || (offset & ((1u << shift_) - 1)) != 0) {
      return -1;
    }
    return static_cast<int>(offset >> shift_);
  }

 private:
  static std::uintptr_t address(PyObject* p) { return reinterpret_cast<std::uintptr_t>(p); }

  object objects_[256];
  std::uintptr_t base_ = 0;
  int shift_ = -1;
};

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
  // Below this many elements, making the table of int objects costs more than it saves.
  static constexpr Py_ssize_t kObjectTableMin = 1024;

  static int value_of(PyObject* item) {
    if (!PyLong_CheckExact(item)) return -1;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(item, &overflow);
    return overflow == 0 && v >= 0 && v <= 255 ? static_cast<int>(v) : -1;
  }

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
    if (size < kObjectTableMin) {
      for (Py_ssize_t i = 0; i < size; ++i) {
        const int v = value_of(items[i]);
        if (v < 0) return false;
        value[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
      }
      return true;
    }
    const ByteValueObjects objects;
    for (Py_ssize_t i = 0; i < size; ++i) {
      int v = objects.value_of(items[i]);
      if (v < 0 && (v = value_of(items[i])) < 0) return false;
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
    const ByteValueObjects byte_values;
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
                        byte_values.get(patches.bytes[i]));
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

  // Every call runs from start to end with the GIL held, so calls into the module are
  // serialised by the interpreter.
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
