// What followed each context of one or two bytes earlier in a document, as rows of 256
// (internal).
//
// A short context is followed by many distinct bytes (after one byte of Python source,
// dozens), so a list of them is long to walk and a reader that scores every byte value
// anyway is better served by a row: a count and a score for each of the 256 values,
// read whole by vector loops and raised in one place. A context's row is made when the
// document first shows it, found through an index of every context of the order (256
// or 65536 entries, made once), and all rows are forgotten at once by clearing the
// entries used.
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

namespace qelt {
namespace internal {

class DenseFollowers {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  // Counts stop at this (the scores of counts so high hardly differ).
  static constexpr std::uint16_t kMostCount = 0xFFFF;

  struct alignas(64) Row {
    float scores[256];  // the user's, of each value's count; 0 for a count of 0
    std::uint16_t counts[256];
    std::uint32_t followed;  // times some byte followed the context
    std::uint32_t distinct;  // values that followed it
  };
  static constexpr std::uint64_t kBytesPerRow = sizeof(Row);

  // Rows of contexts of `order` (1 or 2) bytes within `budget` bytes.
  DenseFollowers(int order, std::uint64_t budget) : contexts_(std::size_t{1} << (8 * order)) {
    const std::uint64_t index_bytes = contexts_ * sizeof(std::uint32_t);
    most_rows_ = budget > index_bytes ? (budget - index_bytes) / kBytesPerRow : 0;
    most_rows_ = std::min<std::uint64_t>(most_rows_, contexts_);
    if (most_rows_ > 0) index_.assign(contexts_, kNone);
  }

  // The row of `context` (its last `order` bytes, the newest lowest), or kNone.
  std::uint32_t find(std::uint64_t context) const {
    return most_rows_ > 0 ? index_[static_cast<std::size_t>(context & (contexts_ - 1))] : kNone;
  }
  Row& row(std::uint32_t i) { return rows_[i]; }
  const Row& row(std::uint32_t i) const { return rows_[i]; }

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
