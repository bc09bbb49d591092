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
#include "model_kinds.h"

namespace qelt {

namespace internal {
template <typename Key>
class WindowCounts;
}  // namespace internal

// The number of last bytes of a context that place it in a share of the counts (and a
// block of a model's file): min(k, 2).
int share_key_bytes(int k);

// The most shares counts are split into, and a model is built in: 2^kMostShareBits.
constexpr int kMostShareBits = 10;

// For every context of k bytes (0 <= k <= 8) and every shorter suffix of it, how often
// each byte value followed it in the documents added. Each document is counted on its
// own, as patching trains on a sequence: the byte at each position i >= k after the k
// bytes before it, and each shorter suffix of those at the same positions. Counts are
// 64-bit (56-bit at k = 8: a count past that throws std::overflow_error). Counts of any
// size merge in time proportional to what is merged in, and take a few bytes per
// distinct window once large. Not safe for concurrent use.
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
  // std::invalid_argument if its k differs. Takes time in proportion to the size of
  // `other`, whatever the sizes of both (amortised over a run of merges).
  void merge(const ContextCounts& other);

  // Adds the counts of the `count` objects at `others`, as merging each in turn does,
  // making room for all of them at once.
  void merge(const ContextCounts* const* others, std::size_t count);

  // At least the number of distinct windows (a context and the byte after it) counted;
  // exact once the counts are merged or split.
  std::uint64_t windows() const;

  // About the bytes of memory the counts take.
  std::uint64_t memory_bytes() const;

  // From now on the counts' table takes at most about `table_bytes` bytes (0: no
  // bound, as at construction): once it is full, its windows are encoded into a run
  // (a few bytes a window) and it starts empty. The counts are the same; memory_bytes()
  // then grows by the encoded runs alone. The room is taken at once.
  void bound_table(std::uint64_t table_bytes);

  // The counts of each of 2^bits shares, as split(bits) makes them, each encoded as
  // serialize() encodes counts, one after another.
  struct EncodedShares {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint64_t> ends;     // where the encoding of share s ends in `bytes`
    std::vector<std::uint64_t> windows;  // the distinct windows of share s
  };

  // The encoded shares of these counts, which are left empty (their table's bound
  // kept): the counts are let go before the encodings are made, and each share's once
  // it is encoded, so that at most the counts and their shares are held at once.
  // Throws std::invalid_argument unless 0 <= bits <= kMostShareBits.
  EncodedShares take_encoded_shares(int bits);

  // The counts of the windows of each of 2^bits shares (model_build.h), in one pass:
  // together they are these counts. Throws std::invalid_argument unless
  // 0 <= bits <= kMostShareBits.
  std::vector<ContextCounts> split(int bits) const;

  // The windows counted (each a context and the byte after it as one key, that byte
  // lowest), read-only, in the table that holds them: Key is std::uint64_t below k = 8
  // and unsigned __int128 at k = 8, and the other Key has none (null).
  template <typename Key>
  const internal::WindowCounts<Key>* window_table() const;

  // The model of these counts: for every context of length 0 .. k seen at least
  // `min_count` (>= 1) times, the bytes that followed it with their shares of its
  // count, and its entropy, computed from its counts exactly as
  // FrequencyTable::compute_entropy does. Equal counts give byte-identical models,
  // whatever order they were added or merged in.
  //
  // With `max_bytes` (0: no limit), the model's file is at most that large: contexts
  // are left out in ascending order of count, the longer first among equal counts,
  // then in ascending order of key, until it fits. So equal counts and budgets give
  // equal files, and a budgeted model keeps a subset of the contexts of the model
  // without a budget. The empty context is always kept; a budget below the file that
  // keeps it alone throws std::invalid_argument.
  //
  // The distributions are those `kind` estimates (model_kinds.h; docs/formats.md,
  // "Model file"): a kind that reads every context estimates from the counts of every
  // context, those left out included, and throws std::overflow_error past 2^55
  // positions. Each context's entropy is that of its distribution.
  //
  // Counts whose build would take more than kBuildBudget bytes at once are built in
  // shares, one at a time (model_build.h): the same model, in the memory of the counts,
  // the model and one share.
  ContextModel to_model(std::uint64_t min_count, std::uint64_t max_bytes = 0,
                        const ModelKind& kind = unsmoothed_kind()) const;

  static constexpr std::uint64_t kBuildBudget = std::uint64_t{1} << 30;

  // The size of the smallest file to_model(min_count, max_bytes) can make: the one of
  // the empty context alone, with the bytes that followed it (of no context, if it was
  // never seen that often).
  std::uint64_t smallest_model_bytes(std::uint64_t min_count) const;

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
  std::uint64_t table_bytes_ = 0;  // the table's bound, 0 for none
  Table table_;
};

}  // namespace qelt

#endif  // QELT_CORE_CONTEXT_COUNTS_H_
