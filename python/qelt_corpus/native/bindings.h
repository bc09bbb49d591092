// The parts of the module `qelt_corpus._native`, one concept each, which
// `_native.cpp` puts together.
#ifndef QELT_CORPUS_NATIVE_BINDINGS_H_
#define QELT_CORPUS_NATIVE_BINDINGS_H_

#include <pybind11/pybind11.h>

namespace qelt_corpus {

// patch_ends and patch_ends_arrow: each document patched with a model of its own.
void bind_patching(pybind11::module_& module);
// The class Counts: context counts that add documents, merge and serialize.
void bind_counts(pybind11::module_& module);
// The steps of a model built in shares: plans, cut searches, assemblies.
void bind_build(pybind11::module_& module);
// The class Model: a context model loaded, queried and used to patch.
void bind_model(pybind11::module_& module);
// model_kinds: the table of model kinds.
void bind_kinds(pybind11::module_& module);
// The class Reading: how a model reads each document, and what a model cannot read.
void bind_reading(pybind11::module_& module);
// The class Stream: a model's patching as bytes arrive.
void bind_stream(pybind11::module_& module);
// read_stretch and sum_length_blocks, over the arrays of packed shards.
void bind_packed(pybind11::module_& module);
// Bytes that are not a model file or a counts encoding raise
// qelt_corpus.ModelFormatError, with the reason the core gives.
void register_format_errors();

}  // namespace qelt_corpus

#endif  // QELT_CORPUS_NATIVE_BINDINGS_H_
