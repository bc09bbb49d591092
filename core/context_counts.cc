// Context counts are counts of windows of k + 1 bytes: a context and the byte that
// followed it. The counts of a shorter suffix context follow from them, because it is
// counted at the same positions: those of the (j + 1)-byte suffixes of the windows,
// summed. So one store of windows is kept (window_counts.h), and the shorter lengths
// are derived only when a model is made: the windows go by in order of key once, each
// context's entropy is computed as its windows end, and their suffixes are counted
// for the next shorter length, which goes by in its turn.
//
// A document's windows go straight to the store's table, each looked up with the slot
// of a window some way ahead requested early: the table of a corpus is larger than
// the caches.

#include "context_counts.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "frequency_table.h"
#include "internal/model_format.h"
#include "internal/sorted_runs.h"
#include "internal/term_memo.h"
#include "internal/window_counts.h"
#include "internal/window_key.h"

namespace qelt {

namespace {

using internal::BigVector;
using internal::WindowCounts;

// The contexts of each length kept for a model, with how often each was seen.
struct Orders {
  std::vector<std::vector<ContextEntropy>> contexts;  // by length, each sorted by key
  // Parallel to contexts, when a budget needs them (else empty): large, and only
  // fit_budget reads them.
  std::vector<std::vector<std::uint64_t>> totals;
  bool with_totals = false;
};

// The entropy of every context (the windows sharing all but their last byte) seen at
// least `min_count` times, from windows given in ascending order of key, into
// `contexts`, and how often each was seen into `totals` unless it is null. A
// context's windows come in ascending order of their last byte, so the terms are
// summed in ascending byte order, with the rounding of FrequencyTable::compute_entropy.
template <typename Key>
class ContextEntropies {
 public:
  // `windows` bounds how many contexts there can be: room for them is asked for at
  // once (memory that is never written is never taken), so that no copy is made as
  // they come.
  ContextEntropies(std::uint64_t min_count, internal::TermMemo& memo, std::uint64_t windows,
                   std::vector<ContextEntropy>& contexts, std::vector<std::uint64_t>* totals)
      : min_count_(min_count), memo_(memo), contexts_(contexts), totals_(totals) {
    const std::uint64_t room = std::min<std::uint64_t>(windows, kMostRoom);
    contexts_.reserve(room);
    if (totals_ != nullptr) totals_->reserve(room);
  }

  void add(Key window, std::uint64_t count) {
    const Key context = window >> 8;
    if (size_ != 0 && context != context_) finish();
    context_ = context;
    counts_[size_++] = count;
  }

  // Ends the last context.
  void finish() {
    if (size_ == 0) return;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < size_; ++i) total += counts_[i];
    if (total >= min_count_) {
      float entropy = 0.0f;
      for (std::size_t i = 0; i < size_; ++i) {
        entropy = subtract_entropy_term(entropy, memo_.term(counts_[i], total));
      }
      contexts_.push_back({static_cast<std::uint64_t>(context_), entropy});
      if (totals_ != nullptr) totals_->push_back(total);
    }
    size_ = 0;
  }

 private:
  static constexpr std::uint64_t kMostRoom = std::uint64_t{1} << 26;

  std::uint64_t min_count_;
  internal::TermMemo& memo_;
  std::vector<ContextEntropy>& contexts_;
  std::vector<std::uint64_t>* totals_;
  Key context_ = 0;
  std::array<std::uint64_t, 256> counts_;  // of the current context's windows
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
                                     : internal::run_room(8 * length, windows / 256, windows)) {
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
  internal::SortedRuns runs_;
};

// The contexts of length j into `orders`, from the windows of j + 1 bytes that
// for_each(visit) gives in ascending order of key (at most `windows` of them); and the
// counts of their suffixes of j bytes, the windows of the contexts of length j - 1
// (none when j is 0).
template <typename Key, typename ForEach>
std::unique_ptr<SuffixCounts> derive_order(int j, const ForEach& for_each, std::uint64_t windows,
                                           std::uint64_t min_count, internal::TermMemo& memo,
                                           Orders& orders) {
  ContextEntropies<Key> entropies(min_count, memo, windows, orders.contexts[j],
                                  orders.with_totals ? &orders.totals[j] : nullptr);
  if (j == 0) {
    for_each([&](Key window, std::uint64_t count) { entropies.add(window, count); });
    entropies.finish();
    return nullptr;
  }
  auto suffixes = std::make_unique<SuffixCounts>(static_cast<std::size_t>(j), windows);
  const std::uint64_t mask = internal::window_mask(static_cast<std::size_t>(j));
  for_each([&](Key window, std::uint64_t count) {
    entropies.add(window, count);
    suffixes->add(static_cast<std::uint64_t>(window) & mask, count);
  });
  entropies.finish();
  return suffixes;
}

// The contexts of length k and of every shorter one into `orders`, from the windows of
// k + 1 bytes that for_each(visit) gives in ascending order of key.
template <typename Key, typename ForEach>
void derive_orders(int k, const ForEach& for_each, std::uint64_t windows,
                   std::uint64_t min_count, Orders& orders) {
  internal::TermMemo memo(std::numeric_limits<std::size_t>::max());
  std::unique_ptr<SuffixCounts> suffixes =
      derive_order<Key>(k, for_each, windows, min_count, memo, orders);
  for (int j = k - 1; suffixes != nullptr; --j) {
    SuffixCounts& longer = *suffixes;
    suffixes = derive_order<std::uint64_t>(
        j, [&](auto visit) { longer.for_each_in_order(visit); }, longer.size_bound(), min_count,
        memo, orders);
  }
}

std::uint64_t image_size(int k, const std::array<std::uint64_t, ContextModel::kMaxOrder + 1>& kept) {
  const std::size_t size = internal::model_image_size(k, kept.data());
  return size == 0 ? ~std::uint64_t{0} : size;
}

// Leaves out of `orders` the contexts that a file of at most `max_bytes` has no room
// for: in ascending order of count, the longer first among equal counts, then in
// ascending order of key; never the empty context.
void fit_budget(Orders& orders, int k, std::uint64_t max_bytes) {
  std::array<std::uint64_t, ContextModel::kMaxOrder + 1> kept{};
  for (int j = 0; j <= k; ++j) kept[j] = orders.contexts[j].size();
  if (image_size(k, kept) <= max_bytes) return;
  // How many contexts of each length have each count, counts ascending.
  std::map<std::uint64_t, std::array<std::uint64_t, ContextModel::kMaxOrder + 1>> by_count;
  for (int j = 1; j <= k; ++j) {
    for (const std::uint64_t total : orders.totals[j]) ++by_count[total][j];
  }
  // The cut: every context of a count below `count` goes, those of `count` longer than
  // `length` go, and the first `keys` of `count` and `length`.
  std::uint64_t cut_count = 0, cut_keys = 0;
  int cut_length = -1;
  for (const auto& [count, per_length] : by_count) {
    for (int j = k; j >= 1 && cut_length < 0; --j) {
      if (per_length[j] == 0) continue;
      std::array<std::uint64_t, ContextModel::kMaxOrder + 1> after = kept;
      after[j] -= per_length[j];
      if (image_size(k, after) > max_bytes) {
        kept = after;
        continue;
      }
      // The fewest of them whose leaving out is enough.
      std::uint64_t low = 1, high = per_length[j];
      while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        after[j] = kept[j] - middle;
        if (image_size(k, after) <= max_bytes) {
          high = middle;
        } else {
          low = middle + 1;
        }
      }
      cut_count = count;
      cut_length = j;
      cut_keys = low;
    }
    if (cut_length >= 0) break;
  }
  if (cut_length < 0) {
    throw std::invalid_argument("max_bytes " + std::to_string(max_bytes) +
                                " is below the smallest model of these counts, " +
                                std::to_string(image_size(k, {kept[0]})) + " bytes");
  }
  for (int j = 1; j <= k; ++j) {
    std::vector<ContextEntropy>& contexts = orders.contexts[j];
    const std::vector<std::uint64_t>& totals = orders.totals[j];
    std::uint64_t dropped_at_cut = 0;
    std::size_t out = 0;
    for (std::size_t c = 0; c < contexts.size(); ++c) {
      const std::uint64_t total = totals[c];
      bool keep = total > cut_count;
      if (total == cut_count) {
        keep = j < cut_length || (j == cut_length && dropped_at_cut++ >= cut_keys);
      }
      if (keep) contexts[out++] = contexts[c];
    }
    contexts.resize(out);
  }
}

}  // namespace

ContextCounts::ContextCounts(int k) : k_(k) {
  if (k < 0 || k > ContextModel::kMaxOrder) {
    throw std::invalid_argument("k must be between 0 and 8, got " + std::to_string(k));
  }
  if (k + 1 <= 8) {
    table_ = std::make_unique<WindowCounts<std::uint64_t>>(k + 1);
  } else {
    table_ = std::make_unique<WindowCounts<Key128>>(k + 1);
  }
}

ContextCounts::~ContextCounts() = default;
ContextCounts::ContextCounts(ContextCounts&&) noexcept = default;
ContextCounts& ContextCounts::operator=(ContextCounts&&) noexcept = default;

void ContextCounts::add(const std::uint8_t* data, std::size_t n) {
  const std::size_t length = static_cast<std::size_t>(k_) + 1;
  if (n < length) return;
  if (length <= 8) {
    add_windows<std::uint64_t>(data, n);
  } else {
    add_windows<Key128>(data, n);
  }
}

template <typename Key>
void ContextCounts::add_windows(const std::uint8_t* data, std::size_t n) {
  const std::size_t length = static_cast<std::size_t>(k_) + 1;
  const std::size_t windows = n - length + 1;
  auto& table = *std::get<std::unique_ptr<WindowCounts<Key>>>(table_);
  // The slot of the window kAhead further on is requested before each window is
  // counted; its hash waits in `ahead_hashes` until then, so each is computed once.
  constexpr std::size_t kAhead = 32;
  std::uint64_t ahead_hashes[kAhead];
  internal::RollingKey<Key> key(length), ahead(length);
  for (std::size_t i = 0; i + 1 < length; ++i) key.push(data[i]);
  ahead = key;
  for (std::size_t w = 0; w < windows && w < kAhead; ++w) {
    ahead_hashes[w] = table.hash(ahead.push(data[w + length - 1]));
    table.prefetch_hash(ahead_hashes[w]);
  }
  for (std::size_t w = 0; w < windows; ++w) {
    std::uint64_t& slot = ahead_hashes[w % kAhead];
    const std::uint64_t hash = slot;
    if (w + kAhead < windows) {
      slot = table.hash(ahead.push(data[w + kAhead + length - 1]));
      table.prefetch_hash(slot);
    }
    table.add(key.push(data[w + length - 1]), hash, 1);
  }
  positions_ += windows;
}

void ContextCounts::add_batch(const ByteSpan* documents, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) add(documents[i].data, documents[i].size);
}

void ContextCounts::merge(const ContextCounts& other) {
  const ContextCounts* const one = &other;
  merge(&one, 1);
}

void ContextCounts::merge(const ContextCounts* const* others, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (others[i]->k_ != k_) {
      throw std::invalid_argument("cannot merge counts of k = " + std::to_string(others[i]->k_) +
                                  " into counts of k = " + std::to_string(k_));
    }
  }
  std::visit(
      [&](auto& table) {
        using Table = std::remove_reference_t<decltype(*table)>;
        std::vector<const Table*> tables;
        for (std::size_t i = 0; i < count; ++i) {
          tables.push_back(std::get<std::unique_ptr<Table>>(others[i]->table_).get());
        }
        table->merge(tables.data(), tables.size());
        // As in turn: a merge with itself doubles what it held, the others' included.
        for (std::size_t i = 0; i < count; ++i) {
          positions_ += others[i] == this ? positions_ : others[i]->positions_;
        }
      },
      table_);
}

ContextModel ContextCounts::to_model(std::uint64_t min_count, std::uint64_t max_bytes) const {
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  const std::size_t orders_count = static_cast<std::size_t>(k_) + 1;
  Orders orders{std::vector<std::vector<ContextEntropy>>(orders_count),
                std::vector<std::vector<std::uint64_t>>(orders_count), max_bytes != 0};
  std::visit(
      [&](const auto& table) {
        using Key = typename std::remove_reference_t<decltype(*table)>::Key;
        derive_orders<Key>(
            k_, [&](auto visit) { table->for_each_in_order(visit); }, table->size_bound(),
            min_count, orders);
      },
      table_);
  if (max_bytes != 0) fit_budget(orders, k_, max_bytes);
  return ContextModel::build(min_count, orders.contexts);
}

std::uint64_t ContextCounts::smallest_model_bytes(std::uint64_t min_count) const {
  std::array<std::uint64_t, ContextModel::kMaxOrder + 1> kept{};
  kept[0] = positions_ > 0 && positions_ >= min_count ? 1 : 0;
  return image_size(k_, kept);
}

}  // namespace qelt
