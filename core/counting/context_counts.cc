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
#include <optional>
#include <stdexcept>
#include <string>

#include "counting/window_counts.h"
#include "estimation/budget.h"
#include "estimation/derivation.h"
#include "format/model_layout.h"
#include "util/window_key.h"

namespace qelt {

namespace {

using internal::WindowCounts;

}  // namespace

int share_key_bytes(int k) { return internal::bucket_bytes(k); }

ContextCounts::ContextCounts(int k) : k_(k) {
  if (k < 0 || k > kMaxOrder) {
    throw std::invalid_argument("k must be between 0 and " + std::to_string(kMaxOrder) +
                                ", got " + std::to_string(k));
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

std::uint64_t ContextCounts::windows() const {
  return std::visit([](const auto& table) { return table->size_bound(); }, table_);
}

std::uint64_t ContextCounts::memory_bytes() const {
  return std::visit([](const auto& table) { return table->memory_bytes(); }, table_) +
         sizeof(ContextCounts);
}

void ContextCounts::bound_table(std::uint64_t table_bytes) {
  table_bytes_ = table_bytes;
  std::visit([&](auto& table) { table->bound_table(table_bytes); }, table_);
}

ContextCounts::EncodedShares ContextCounts::take_encoded_shares(int bits) {
  std::vector<ContextCounts> shares = split(bits);
  {
    ContextCounts emptied(k_);
    emptied.bound_table(table_bytes_);
    *this = std::move(emptied);
  }
  EncodedShares encoded;
  std::uint64_t room = 0;
  for (const ContextCounts& share : shares) room += share.memory_bytes() + 16;
  encoded.bytes.reserve(room);
  for (ContextCounts& share : shares) {
    const std::string bytes = share.serialize();
    encoded.bytes.insert(encoded.bytes.end(), bytes.begin(), bytes.end());
    encoded.ends.push_back(encoded.bytes.size());
    encoded.windows.push_back(share.windows());
    share = ContextCounts(k_);
  }
  return encoded;
}

std::vector<ContextCounts> ContextCounts::split(int bits) const {
  if (bits < 0 || bits > kMostShareBits) {
    throw std::invalid_argument("a build has 2^0 to 2^" + std::to_string(kMostShareBits) +
                                " shares, not 2^" + std::to_string(bits));
  }
  std::vector<ContextCounts> shares;
  for (int s = 0; s < (1 << bits); ++s) shares.emplace_back(k_);
  const int bucket = share_key_bytes(k_);
  std::visit(
      [&](const auto& table) {
        using Key = typename std::remove_reference_t<decltype(*table)>::Key;
        std::vector<internal::RunBytes> runs(shares.size());
        std::vector<std::optional<internal::RunWriter<Key>>> writers(shares.size());
        for (std::size_t s = 0; s < shares.size(); ++s) writers[s].emplace(runs[s]);
        table->for_each_in_order([&](Key window, std::uint64_t count) {
          const std::uint32_t s = internal::block_of(
              static_cast<std::uint64_t>(window >> 8), bucket, bits);
          writers[s]->add(window, count);
          shares[s].positions_ += count;
        });
        for (std::size_t s = 0; s < shares.size(); ++s) {
          writers[s]->finish();
          std::get<std::unique_ptr<WindowCounts<Key>>>(shares[s].table_)
              ->take_run(std::move(runs[s]), writers[s]->windows());
        }
      },
      table_);
  return shares;
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

template <typename Key>
const internal::WindowCounts<Key>* ContextCounts::window_table() const {
  const auto* held = std::get_if<std::unique_ptr<WindowCounts<Key>>>(&table_);
  return held != nullptr ? held->get() : nullptr;
}

template const WindowCounts<std::uint64_t>* ContextCounts::window_table() const;
template const WindowCounts<ContextCounts::Key128>* ContextCounts::window_table() const;

}  // namespace qelt
