// The native part of `qelt_corpus`: the core's patching, counting and models over
// buffers and Arrow arrays, results as NumPy arrays. Each concept is bound in a file
// of its own under native/; this file puts them together.
//
// Every function reads its input in place and releases the GIL while the core runs
// (native/views.h). Argument conversion with readable messages is done by the Python
// layer; the native part checks only what it alone can see: the layout of buffers and
// Arrow arrays.

#include <pybind11/pybind11.h>

#include "native/bindings.h"

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native part of qelt_corpus; use the functions of qelt_corpus instead.";
  qelt_corpus::register_format_errors();
  qelt_corpus::bind_patching(m);
  qelt_corpus::bind_packed(m);
  qelt_corpus::bind_counts(m);
  qelt_corpus::bind_build(m);
  qelt_corpus::bind_reading(m);
  qelt_corpus::bind_model(m);
  qelt_corpus::bind_kinds(m);
  qelt_corpus::bind_stream(m);
}
