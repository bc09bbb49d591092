// Every context of every length from the windows of k + 1 bytes (internal).
//
// The counts of a shorter suffix context follow from the windows, because it is
// counted at the same positions: those of the (j + 1)-byte suffixes of the windows,
// summed. So the windows go by in order of key once, each context's entropy is
// computed as its windows end, and their suffixes are counted for the next shorter
// length, which goes by in its turn.
#ifndef QELT_CORE_ESTIMATION_DERIVATION_H_
#define QELT_CORE_ESTIMATION_DERIVATION_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "counting/sorted_runs.h"
#include "entropy_term.h"
#include "estimation/estimator.h"
#include "statistics/term_memo.h"
#include "util/big_buffer.h"
#include "util/window_key.h"

namespace qelt {
namespace internal {

// In counts that carry continuation counts, a window's value is its
// count shifted left by this many bits, plus how many distinct longer windows end in
// it (at most 256, so the two never overlap as values are summed).
constexpr int kContinuationBits = 9;
constexpr std::uint64_t kContinuationMask = (std::uint64_t{1} << kContinuationBits) - 1;

// Gathers the contexts (the windows sharing all but their last byte) seen at least
// `min_count` times from windows given in ascending order of key. A context's windows
// come in ascending order of their last byte, so the terms of its entropy are summed
// in ascending byte order, with the rounding of FrequencyTable::compute_entropy.
// Values carry continuation counts when `packed`. Without `entropies`, every entropy
// is left 0 (for what needs only the counts).
template <typename Key>
class ContextGatherer {
 public:
  // `windows` bounds how many contexts there can be: room for them is asked for at
  // once (memory that is never written is never taken), so that no copy is made as
  // they come.
  ContextGatherer(std::uint64_t min_count, TermMemo& memo, std::uint64_t windows,
                  bool packed, bool continuations, bool entropies, GatheredOrder& out)
      : min_count_(min_count), memo_(memo), packed_(packed), continuations_wanted_(continuations),
        entropies_(entropies), out_(out) {
    const std::uint64_t room = std::min<std::uint64_t>(windows, kMostRoom);
    out_.keys.reserve(room);
    out_.totals.reserve(room);
    out_.entropies.reserve(room);
    out_.ends.reserve(room);
    out_.bytes.reserve(room);
    out_.counts.reserve(room);
    if (continuations_wanted_) out_.continuations.reserve(room);
  }

  void add(Key window, std::uint64_t value) {
    const Key context = window >> 8;
    if (size_ != 0 && context != context_) finish();
    context_ = context;
    bytes_[size_] = static_cast<std::uint8_t>(window);
    counts_[size_] = packed_ ? value >> kContinuationBits : value;
    continuations_[size_] = packed_ ? value & kContinuationMask : value;
    ++size_;
  }

  // Ends the last context.
  void finish() {
    if (size_ == 0) return;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < size_; ++i) total += counts_[i];
    if (total >= min_count_) {
      float entropy = 0.0f;
      for (std::size_t i = 0; entropies_ && i < size_; ++i) {
        entropy = subtract_entropy_term(entropy, memo_.term(counts_[i], total));
      }
      out_.keys.push_back(static_cast<std::uint64_t>(context_));
      out_.totals.push_back(total);
      out_.entropies.push_back(entropy);
      out_.bytes.insert(out_.bytes.end(), bytes_.begin(), bytes_.begin() + size_);
      out_.counts.insert(out_.counts.end(), counts_.begin(), counts_.begin() + size_);
      if (continuations_wanted_) {
        out_.continuations.insert(out_.continuations.end(), continuations_.begin(),
                                  continuations_.begin() + size_);
      }
      out_.ends.push_back(out_.bytes.size());
    }
    size_ = 0;
  }

 private:
  static constexpr std::uint64_t kMostRoom = std::uint64_t{1} << 26;

  std::uint64_t min_count_;
  TermMemo& memo_;
  bool packed_, continuations_wanted_, entropies_;
  GatheredOrder& out_;
  Key context_ = 0;
  // The current context's windows.
  std::array<std::uint8_t, 256> bytes_;
  std::array<std::uint64_t, 256> counts_, continuations_;
  std::size_t size_ = 0;
};

// Counts of the windows of `length` (<= 8) bytes, given in the order of the longer
// windows they end (so in a few ascending runs), read back once in ascending order of
// key. Up to 3 bytes, and when there are enough windows to pay for it, a count per
// possible key; else their runs, merged when read.
class SuffixCounts {
 public:
  SuffixCounts(std::size_t length, std::uint64_t windows)
      // a run for each first byte of the longer windows
      : runs_(dense(length, windows) ? 0
                                     : run_room(8 * length, windows / 256, windows)) {
    if (dense(length, windows)) direct_.assign(std::size_t{1} << (8 * length), 0);
  }

  void add(std::uint64_t key, std::uint64_t count) {
    if (!direct_.empty()) {
      direct_[key] += count;
    } else {
      runs_.add(key, count);
    }
  }

  std::uint64_t size_bound() const { return direct_.empty() ? runs_.size_bound() : direct_.size(); }

  template <typename Visit>
  void for_each_in_order(Visit visit) {
    if (direct_.empty()) {
      runs_.for_each_in_order(visit);
      return;
    }
    for (std::size_t key = 0; key < direct_.size(); ++key) {
      if (direct_[key] != 0) visit(std::uint64_t{key}, direct_[key]);
    }
  }

 private:
  static bool dense(std::size_t length, std::uint64_t windows) {
    return length <= 3 && (std::uint64_t{1} << (8 * length)) <= 4 * windows;
  }

  BigVector<std::uint64_t> direct_;
  SortedRuns runs_;
};

// The contexts of length j into `gathered`, from the windows of j + 1 bytes that
// for_each(visit) gives in ascending order of key (at most `windows` of them); and the
// counts of their suffixes of j bytes, the windows of the contexts of length j - 1
// (none when j is 0). With `continuations`, each suffix also counts the distinct windows it
// ends; its value is then packed (kContinuationBits), as are the values given for
// every length below the longest.
template <typename Key, typename ForEach>
std::unique_ptr<SuffixCounts> derive_order(int j, int k, const ForEach& for_each,
                                           std::uint64_t windows, std::uint64_t min_count,
                                           bool continuations, bool entropies, TermMemo& memo,
                                           GatheredOrder& gathered) {
  const bool packed = continuations && j < k;
  gathered.length = j;
  ContextGatherer<Key> contexts(min_count, memo, windows, packed, continuations, entropies,
                                gathered);
  if (j == 0) {
    for_each([&](Key window, std::uint64_t value) { contexts.add(window, value); });
    contexts.finish();
    return nullptr;
  }
  auto suffixes = std::make_unique<SuffixCounts>(static_cast<std::size_t>(j), windows);
  const std::uint64_t mask = window_mask(static_cast<std::size_t>(j));
  for_each([&](Key window, std::uint64_t value) {
    contexts.add(window, value);
    const std::uint64_t suffix = static_cast<std::uint64_t>(window) & mask;
    if (!continuations) {
      suffixes->add(suffix, value);
    } else {
      const std::uint64_t count = packed ? value >> kContinuationBits : value;
      suffixes->add(suffix, count << kContinuationBits | 1);
    }
  });
  contexts.finish();
  return suffixes;
}

// The contexts of lengths `top` down to `lowest` (>= 0) into gathered[j], from the
// windows of top + 1 bytes that for_each(visit) gives in ascending order of key (at
// most `windows` of them; their values packed with continuation counts if
// `continuations` and `top` < k); with continuation counts if `continuations`. Returns
// the counts of the windows of `lowest` bytes, the contexts of length lowest - 1 (none
// when `lowest` is 0), for the lengths below to be derived from, apart. Without
// `entropies`, every entropy is left 0.
template <typename Key, typename ForEach>
std::unique_ptr<SuffixCounts> derive_orders(int top, int k, int lowest, const ForEach& for_each,
                                            std::uint64_t windows, std::uint64_t min_count,
                                            bool continuations, bool entropies,
                                            std::vector<GatheredOrder>& gathered) {
  TermMemo memo(std::numeric_limits<std::size_t>::max());
  std::unique_ptr<SuffixCounts> suffixes = derive_order<Key>(
      top, k, for_each, windows, min_count, continuations, entropies, memo, gathered[top]);
  for (int j = top - 1; j >= lowest && suffixes != nullptr; --j) {
    SuffixCounts& longer = *suffixes;
    suffixes = derive_order<std::uint64_t>(
        j, k, [&](auto visit) { longer.for_each_in_order(visit); }, longer.size_bound(),
        min_count, continuations, entropies, memo, gathered[j]);
  }
  return suffixes;
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_ESTIMATION_DERIVATION_H_
