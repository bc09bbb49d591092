// The class Counts: context counts behind a lock (internal to the bindings). They are
// changed with the GIL released, and two threads adding to one object at once must
// take turns.
#ifndef QELT_CORPUS_NATIVE_COUNTS_H_
#define QELT_CORPUS_NATIVE_COUNTS_H_

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "context_counts.h"
#include "context_model.h"
#include "views.h"

namespace qelt_corpus {

namespace py = pybind11;

class Counts {
 public:
  explicit Counts(int k) : counts_(k) {}
  explicit Counts(qelt::ContextCounts counts) : counts_(std::move(counts)) {}

  int k() const { return counts_.k(); }

  std::uint64_t positions() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.positions();
  }

  void add(py::handle data) {
    const ByteBuffer bytes(data, "document");
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    counts_.add(bytes.data(), bytes.size());
  }

  void add_documents(const py::list& items) {
    const DocumentList documents(items);
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    counts_.add_batch(documents.spans(), documents.count());
  }

  // Adds the counts of `others` (this object may be among them), room made for all at
  // once. Every object involved is locked, in order of address, so that two merges
  // crossing each other cannot wait on each other.
  void merge(const std::vector<Counts*>& others) {
    const py::gil_scoped_release release;
    std::vector<std::mutex*> mutexes{&mutex_};
    std::vector<const qelt::ContextCounts*> counts;
    for (Counts* other : others) {
      mutexes.push_back(&other->mutex_);
      counts.push_back(&other->counts_);
    }
    std::sort(mutexes.begin(), mutexes.end());
    mutexes.erase(std::unique(mutexes.begin(), mutexes.end()), mutexes.end());
    std::vector<std::unique_lock<std::mutex>> locks;
    for (std::mutex* mutex : mutexes) locks.emplace_back(*mutex);
    counts_.merge(counts.data(), counts.size());
  }

  // `kind` names a kind of the table (model_kinds.h); the Python layer has checked it.
  qelt::ContextModel to_model(std::uint64_t min_count, std::uint64_t max_bytes,
                              const std::string& kind) {
    const qelt::ModelKind* found = qelt::find_model_kind(kind);
    if (found == nullptr) throw py::value_error("no model kind " + kind);
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.to_model(min_count, max_bytes, *found);
  }

  std::uint64_t smallest_model_bytes(std::uint64_t min_count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.smallest_model_bytes(min_count);
  }

  py::bytes serialize() {
    std::string encoded;
    {
      const py::gil_scoped_release release;
      const std::lock_guard<std::mutex> lock(mutex_);
      encoded = counts_.serialize();
    }
    return py::bytes(encoded);
  }

  void bound_table(std::uint64_t table_bytes) {
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    counts_.bound_table(table_bytes);
  }

  // The encoded shares (ContextCounts::take_encoded_shares), the counts left empty.
  qelt::ContextCounts::EncodedShares take_encoded_shares(int bits) {
    const py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.take_encoded_shares(bits);
  }

  std::uint64_t memory_bytes() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.memory_bytes();
  }

  std::uint64_t windows() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_.windows();
  }

  // Calls f(counts) with the lock held; the caller releases the GIL.
  template <typename F>
  auto read(F f) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return f(static_cast<const qelt::ContextCounts&>(counts_));
  }

  static std::unique_ptr<Counts> deserialize(py::handle data) {
    const ByteBuffer bytes(data, "state");
    const py::gil_scoped_release release;
    return std::make_unique<Counts>(qelt::ContextCounts::deserialize(bytes.data(), bytes.size()));
  }

 private:
  std::mutex mutex_;
  qelt::ContextCounts counts_;
};

}  // namespace qelt_corpus

#endif  // QELT_CORPUS_NATIVE_COUNTS_H_
