// Counts of the bytes that follow each context in a corpus, from which a context
// model is made.
#ifndef QELT_CORE_CONTEXT_COUNTS_H_
#define QELT_CORE_CONTEXT_COUNTS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "batch.h"
#include "context_model.h"
#include "format_error.h"

namespace qelt {

namespace internal {
template <typename Key>
class WindowCounts;
}  // namespace internal

// For every context of k bytes (0 <= k <= 8) and every shorter suffix of it, how often
// each byte value followed it in the documents added. Each document is counted on its
// own, as patching trains on a sequence: the byte at each position i >= k after the k
// bytes before it, and each shorter suffix of those at the same positions. Counts are
// 64-bit. Not safe for concurrent use.
class ContextCounts {
 public:
  // Throws std::invalid_argument unless 0 <= k <= 8.
  explicit ContextCounts(int k);
  ~ContextCounts();
  ContextCounts(ContextCounts&&) noexcept;
  ContextCounts& operator=(ContextCounts&&) noexcept;
  ContextCounts(const ContextCounts&) = delete;
  ContextCounts& operator=(const ContextCounts&) = delete;

  int k() const { return k_; }
  // The positions counted so far, over all documents.
  std::uint64_t positions() const { return positions_; }

  // Counts the `n` bytes at `data` as one document.
  void add(const std::uint8_t* data, std::size_t n);

  // Counts each of `count` documents as add does.
  void add_batch(const ByteSpan* documents, std::size_t count);

  // Adds the counts of `other` (which may be this object) to these. Throws
  // std::invalid_argument if its k differs.
  void merge(const ContextCounts& other);

  // The model of these counts: for every context of length 0 .. k seen at least
  // `min_count` (>= 1) times, its entropy, computed from its counts exactly as
  // FrequencyTable::compute_entropy does. Equal counts give byte-identical models,
  // whatever order they were added or merged in.
  ContextModel to_model(std::uint64_t min_count) const;

  // A compact encoding of the counts (docs/formats.md), the same for equal counts.
  std::string serialize() const;

  // The counts encoded in `size` bytes at `data`, in any version this build reads.
  // Throws ModelFormatError if they are not an encoding serialize could have made.
  static ContextCounts deserialize(const std::uint8_t* data, std::size_t size);

 private:
  // Windows of k + 1 bytes (a context and the byte after it) hold counts keyed by
  // their bytes: 64-bit keys up to 8 bytes, 128-bit ones for the 9 of k = 8.
  using Key128 = unsigned __int128;
  using Table = std::variant<std::unique_ptr<internal::WindowCounts<std::uint64_t>>,
                             std::unique_ptr<internal::WindowCounts<Key128>>>;

  template <typename Key>
  void add_windows(const std::uint8_t* data, std::size_t n);

  int k_;
  std::uint64_t positions_ = 0;
  Table table_;
};

}  // namespace qelt

#endif  // QELT_CORE_CONTEXT_COUNTS_H_
