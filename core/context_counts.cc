// Context counts are counts of windows of k + 1 bytes: a context and the byte that
// followed it. The counts of a shorter suffix context follow from them, because it is
// counted at the same positions: those of the (j + 1)-byte suffixes of the windows,
// summed. So one table of windows is kept, and the shorter lengths are derived only
// when a model is made.
//
// A document's windows go straight to the table, each looked up with the slot of a
// window some way ahead requested early: the table of a corpus is larger than the
// caches.

#include "context_counts.h"

#include <stdexcept>

#include "frequency_table.h"
#include "internal/window_counts.h"
#include "internal/window_key.h"

namespace qelt {

namespace {

using internal::BigVector;
using internal::WindowCount;
using internal::WindowCounts;

// The entropy of every context (a run of windows sharing all but their last byte) seen
// at least `min_count` times, in order of key. Within a run the windows are sorted by
// that last byte, so the terms are summed in ascending byte order, with the rounding
// of FrequencyTable::compute_entropy.
template <typename Key>
std::vector<ContextEntropy> context_entropies(const BigVector<WindowCount<Key>>& windows,
                                              std::uint64_t min_count) {
  std::vector<ContextEntropy> contexts;
  for (std::size_t begin = 0; begin < windows.size();) {
    const Key context = windows[begin].stored_key >> 8;
    std::size_t end = begin;
    std::uint64_t total = 0;
    for (; end < windows.size() && (windows[end].stored_key >> 8) == context; ++end) {
      total += windows[end].count;
    }
    if (total >= min_count) {
      float entropy = 0.0f;
      for (std::size_t w = begin; w < end; ++w) {
        entropy = subtract_entropy_term(
            entropy, p_log_p(static_cast<std::int64_t>(windows[w].count),
                             static_cast<std::int64_t>(total)));
      }
      contexts.push_back({static_cast<std::uint64_t>(context), entropy});
    }
    begin = end;
  }
  return contexts;
}

// The windows of `length` (<= 8) bytes that end the given longer windows, with their
// counts summed, sorted by key.
template <typename Key>
BigVector<WindowCount<std::uint64_t>> suffix_windows(const BigVector<WindowCount<Key>>& windows,
                                                     std::size_t length) {
  const std::uint64_t mask = internal::window_mask(length);
  BigVector<WindowCount<std::uint64_t>> suffixes(windows.size());
  for (std::size_t w = 0; w < windows.size(); ++w) {
    suffixes[w] = {static_cast<std::uint64_t>(windows[w].stored_key) & mask, windows[w].count};
  }
  internal::sort_by_key(suffixes, length);
  std::size_t out = 0;
  for (std::size_t w = 0; w < suffixes.size(); ++w) {
    if (out > 0 && suffixes[out - 1].stored_key == suffixes[w].stored_key) {
      suffixes[out - 1].count += suffixes[w].count;
    } else {
      suffixes[out++] = suffixes[w];
    }
  }
  suffixes.resize(out);
  return suffixes;
}

}  // namespace

ContextCounts::ContextCounts(int k) : k_(k) {
  if (k < 0 || k > ContextModel::kMaxOrder) {
    throw std::invalid_argument("k must be between 0 and 8, got " + std::to_string(k));
  }
  if (k + 1 <= 8) {
    table_ = std::make_unique<WindowCounts<std::uint64_t>>();
  } else {
    table_ = std::make_unique<WindowCounts<Key128>>();
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
  auto& table = *std::get<std::unique_ptr<WindowCounts<Key>>>(table_);
  constexpr std::size_t kAhead = 32;
  internal::RollingKey<Key> key(length), ahead(length);
  for (std::size_t i = 0; i + 1 < length; ++i) key.push(data[i]);
  for (std::size_t i = 0; i + 1 < length + kAhead && i < n; ++i) ahead.push(data[i]);
  // Position i is the last byte of a window; `ahead` is the window kAhead further on.
  for (std::size_t i = length - 1; i < n; ++i) {
    if (i + kAhead < n) table.prefetch(ahead.push(data[i + kAhead]));
    table.add(key.push(data[i]), 1);
  }
  positions_ += n - length + 1;
}

void ContextCounts::add_batch(const ByteSpan* documents, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) add(documents[i].data, documents[i].size);
}

void ContextCounts::merge(const ContextCounts& other) {
  if (other.k_ != k_) {
    throw std::invalid_argument("cannot merge counts of k = " + std::to_string(other.k_) +
                                " into counts of k = " + std::to_string(k_));
  }
  std::visit(
      [&](auto& table) {
        using Table = std::remove_reference_t<decltype(*table)>;
        if (&other == this) {
          table->double_counts();
        } else {
          table->merge(*std::get<std::unique_ptr<Table>>(other.table_));
        }
      },
      table_);
  positions_ += other.positions_;
}

ContextModel ContextCounts::to_model(std::uint64_t min_count) const {
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  std::vector<std::vector<ContextEntropy>> orders(static_cast<std::size_t>(k_) + 1);
  std::visit(
      [&](const auto& table) {
        const auto windows = table->sorted(static_cast<std::size_t>(k_) + 1);
        orders[k_] = context_entropies(windows, min_count);
        if (k_ == 0) return;
        auto shorter = suffix_windows(windows, static_cast<std::size_t>(k_));
        for (int j = k_ - 1;; --j) {
          orders[j] = context_entropies(shorter, min_count);
          if (j == 0) break;
          shorter = suffix_windows(shorter, static_cast<std::size_t>(j));
        }
      },
      table_);
  return ContextModel::build(min_count, orders);
}

}  // namespace qelt
