// Entropy terms remembered within one call (internal).
#ifndef QELT_CORE_STATISTICS_TERM_MEMO_H_
#define QELT_CORE_STATISTICS_TERM_MEMO_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "util/big_buffer.h"
#include "entropy_term.h"

namespace qelt {
namespace internal {

// p_log_p(count, total) for small totals, each term computed the first time it is
// needed: most contexts are seen only a few times, with the same few (count, total)
// pairs over and over, and this spares them their logarithms. One is made per call,
// so nothing is kept between calls.
class TermMemo {
 public:
  // Keeps the terms of totals up to `max_total` (at most kMemoTotal): room for them
  // is taken at once, so a small input takes only a little.
  explicit TermMemo(std::size_t max_total)
      : max_total_(std::min(max_total, kMemoTotal)),
        terms_(max_total_ * (max_total_ + 1) / 2),
        known_((terms_.size() + 63) / 64, 0) {}

  double term(std::size_t count, std::size_t total) {
    if (total > max_total_) {
      return p_log_p(static_cast<std::int64_t>(count), static_cast<std::int64_t>(total));
    }
    // Row `total` holds counts 1..total, after the rows of all smaller totals.
    const std::size_t i = total * (total - 1) / 2 + count - 1;
    const std::uint64_t bit = std::uint64_t{1} << (i % 64);
    if ((known_[i / 64] & bit) == 0) {
      terms_[i] = p_log_p(static_cast<std::int64_t>(count), static_cast<std::int64_t>(total));
      known_[i / 64] |= bit;
    }
    return terms_[i];
  }

 private:
  static constexpr std::size_t kMemoTotal = 256;

  std::size_t max_total_;
  BigVector<double> terms_;  // uninitialised but where `known_` has a bit set
  BigVector<std::uint64_t> known_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_STATISTICS_TERM_MEMO_H_
