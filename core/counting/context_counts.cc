// Context counts are counts of windows of k + 1 bytes: a context and the byte that
// followed it. The counts of a shorter suffix context follow from them
// (estimation/derivation.h), so one store of windows is kept (window_counts.h), and
// the shorter lengths are derived only when a model is made.
//
// A document's windows go straight to the store's table, each looked up with the slot
// of a window some way ahead prefetched: the table of a corpus is larger than the
// caches.

#include "context_counts.h"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string>

#include "counting/window_counts.h"
#include "estimation/budget.h"
#include "estimation/derivation.h"
#include "util/window_key.h"

namespace qelt {

namespace {

using internal::WindowCounts;

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

ContextModel ContextCounts::to_model(std::uint64_t min_count, std::uint64_t max_bytes,
                                     const ModelKind& kind) const {
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  // A count carried with its continuation count must leave it room.
  if (kind.every_context && positions_ >> (64 - internal::kContinuationBits) != 0) {
    throw std::overflow_error("too many positions to carry continuation counts");
  }
  std::vector<GatheredOrder> gathered(static_cast<std::size_t>(k_) + 1);
  std::visit(
      [&](const auto& table) {
        using Key = typename std::remove_reference_t<decltype(*table)>::Key;
        internal::derive_orders<Key>(
            k_, [&](auto visit) { table->for_each_in_order(visit); }, table->size_bound(),
            kind.every_context ? 1 : min_count, kind.every_context, gathered);
      },
      table_);
  std::vector<ModelOrder> orders = kind.estimate(gathered);
  internal::keep_within(orders, gathered, min_count, max_bytes);
  return ContextModel::build(kind, min_count, orders);
}

std::uint64_t ContextCounts::smallest_model_bytes(std::uint64_t min_count) const {
  internal::OrderSizes contexts{}, pairs{};
  if (positions_ > 0 && positions_ >= min_count) {
    contexts[0] = 1;
    std::array<bool, 256> followed{};
    std::visit(
        [&](const auto& table) {
          table->for_each_in_order([&](auto window, std::uint64_t) {
            followed[static_cast<std::uint8_t>(window)] = true;
          });
        },
        table_);
    pairs[0] = static_cast<std::uint64_t>(std::count(followed.begin(), followed.end(), true));
  }
  return internal::image_size(k_, contexts, pairs);
}

}  // namespace qelt
