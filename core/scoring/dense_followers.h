// What followed each context of one or two bytes earlier in a document, as rows of 256
// (internal).
//
// A short context is followed by many distinct bytes (after one byte of Python source,
// dozens), so a list of them is long to search: a row holds them in the order first
// seen, with their counts (and a value of each count the user keeps) side by side, and
// the place in it of each of the 256 values.
// A context's row is made when the document first shows it, found through an index of
// every context of the order (256 or 65536 entries, made once), and all rows are
// forgotten at once by clearing the entries used.
//
// Within a budget counted from what is held alone: the index, and kBytesPerRow for each
// row made. A budget that cannot hold the index and one row holds no row at all.
#ifndef QELT_CORE_SCORING_DENSE_FOLLOWERS_H_
#define QELT_CORE_SCORING_DENSE_FOLLOWERS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/prefetch.h"

namespace qelt {
namespace internal {

class DenseFollowers {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  // Counts stop at this (what so high a count tells hardly differs).
  static constexpr std::uint16_t kMostCount = 0xFFFF;

  struct alignas(64) Row {
    // The values that followed the context (the first `distinct`), in the order first
    // seen, and how often each did.
    std::uint8_t bytes[256];
    std::uint16_t counts[256];
    // Free for the user: a value of each count, kept beside it (set when it changes).
    float scores[256];
    std::uint8_t place[256];  // of each value that followed it, its index in `bytes`
    std::uint32_t followed;  // times some byte followed the context
    std::uint32_t distinct;  // values that followed it

    // The index of `byte` in `bytes`, or -1 if it has not followed the context.
    int find(std::uint8_t byte) const {
      const std::uint32_t at = place[byte];
      return at < distinct && bytes[at] == byte ? static_cast<int>(at) : -1;
    }

    // The index of `byte` in `bytes`, where it is put (its count 0) if it has not
    // followed the context before.
    std::uint32_t index_of(std::uint8_t byte) {
      const int found = find(byte);
      if (found >= 0) return static_cast<std::uint32_t>(found);
      bytes[distinct] = byte;
      counts[distinct] = 0;
      place[byte] = static_cast<std::uint8_t>(distinct);
      return distinct++;
    }
  };
  static constexpr std::uint64_t kBytesPerRow = sizeof(Row);

  // What rows for every context of `order` bytes take, with their index.
  static constexpr std::uint64_t budget_for_all(int order) {
    return (std::uint64_t{1} << (8 * order)) * (sizeof(std::uint32_t) + kBytesPerRow);
  }

  // Rows of contexts of `order` (1 or 2) bytes within `budget` bytes.
  DenseFollowers(int order, std::uint64_t budget) : contexts_(std::size_t{1} << (8 * order)) {
    const std::uint64_t index_bytes = contexts_ * sizeof(std::uint32_t);
    most_rows_ = budget > index_bytes ? (budget - index_bytes) / kBytesPerRow : 0;
    most_rows_ = std::min<std::uint64_t>(most_rows_, contexts_);
    if (most_rows_ > 0) index_.assign(contexts_, kNone);
  }

  // Whether the budget holds any row at all.
  bool holds_rows() const { return most_rows_ > 0; }

  // The row of `context` (its last `order` bytes, the newest lowest), or kNone.
  std::uint32_t find(std::uint64_t context) const {
    return most_rows_ > 0 ? index_[static_cast<std::size_t>(context & (contexts_ - 1))] : kNone;
  }
  Row& row(std::uint32_t i) { return rows_[i]; }
  const Row& row(std::uint32_t i) const { return rows_[i]; }

  // Prefetches the start of the row of `context`, if it has one, for reading it soon
  // after: its first values and their counts.
  void prefetch(std::uint64_t context) const {
    const std::uint32_t i = find(context);
    if (i == kNone) return;
    internal::prefetch(rows_[i].bytes);
    internal::prefetch(rows_[i].counts);
  }

  // The row of `context`, made (every count 0) if it has none; kNone if it has none and
  // the budget holds no more rows.
  std::uint32_t find_or_make(std::uint64_t context) {
    const std::uint32_t found = find(context);
    if (found != kNone || rows_.size() >= most_rows_) return found;
    const std::uint32_t made = static_cast<std::uint32_t>(rows_.size());
    rows_.emplace_back();
    std::memset(&rows_.back(), 0, sizeof(Row));
    index_[static_cast<std::size_t>(context & (contexts_ - 1))] = made;
    made_for_.push_back(static_cast<std::uint32_t>(context & (contexts_ - 1)));
    return made;
  }

  // Forgets every row, keeping the room.
  void clear() {
    for (std::uint32_t context : made_for_) index_[context] = kNone;
    made_for_.clear();
    rows_.clear();
  }

  // Makes room for `positions` more positions (one row each at most, within the
  // budget), so that making them allocates nothing. Throws std::bad_alloc, leaving
  // everything as it was, if it cannot.
  void reserve(std::uint64_t positions) {
    const std::uint64_t needed = std::min<std::uint64_t>(rows_.size() + positions, most_rows_);
    if (needed <= rows_.capacity() && needed <= made_for_.capacity()) return;
    // At least twice the room, so that making room a position at a time copies each
    // row a bounded number of times.
    const std::size_t rows = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(needed, 2 * rows_.capacity()), most_rows_));
    std::vector<Row> more_rows;
    more_rows.reserve(rows);
    made_for_.reserve(rows);
    more_rows.insert(more_rows.end(), rows_.begin(), rows_.end());
    rows_.swap(more_rows);
  }

 private:
  std::uint64_t contexts_;
  std::uint64_t most_rows_ = 0;
  std::vector<std::uint32_t> index_;
  std::vector<Row> rows_;
  std::vector<std::uint32_t> made_for_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_SCORING_DENSE_FOLLOWERS_H_
