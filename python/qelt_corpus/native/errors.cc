// Format errors of the core as qelt_corpus.ModelFormatError (a ValueError defined in
// Python), with the reason the core gives as its `reason`.

#include <pybind11/pybind11.h>

#include <exception>
#include <string>

#include "bindings.h"
#include "format_error.h"

namespace py = pybind11;

namespace qelt_corpus {

namespace {

void translate_format_error(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const qelt::ModelFormatError& e) {
    const py::object type = py::module_::import("qelt_corpus._errors").attr("ModelFormatError");
    const py::object instance = type(std::string(e.what()), e.reason_name());
    PyErr_SetObject(type.ptr(), instance.ptr());
  }
}

}  // namespace

void register_format_errors() { py::register_exception_translator(&translate_format_error); }

}  // namespace qelt_corpus
