// Context counts are counts of windows of k + 1 bytes: a context and the byte that
// followed it. The counts of a shorter suffix context follow from them, because it is
// counted at the same positions: those of the (j + 1)-byte suffixes of the windows,
// summed. So one table of windows is kept, and the shorter lengths are derived only
// when a model is made.
//
// A document's windows go straight to the table, each looked up with the slot of a
// window some way ahead requested early: the table of a corpus is larger than the
// caches. The table is open addressing with linear probing; its order never shows,
// since models and encodings are made from the windows sorted by their bytes.

#include "context_counts.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "big_buffer.h"
#include "fmix64.h"
#include "frequency_table.h"
#include "radix_sort.h"

namespace qelt {

namespace internal {

template <typename Key>
struct WindowCount {
  Key key;
  std::uint64_t count;
};

// Sorts windows whose keys have `bytes` bytes by key.
template <typename Key>
void sort_by_key(BigVector<WindowCount<Key>>& windows, std::size_t bytes) {
  BigVector<WindowCount<Key>> room(windows.size());
  radix_sort(windows, room, bytes, [](const WindowCount<Key>& w, std::size_t d) {
    return static_cast<std::size_t>(w.key >> (8 * d)) & 0xFF;
  });
}

// Counts keyed by windows, at most 3/4 full; the capacity is a power of two.
template <typename Key>
class WindowCounts {
 public:
  using KeyType = Key;

  WindowCounts() { allocate(kInitialBits); }

  void prefetch(Key key) const { __builtin_prefetch(&slots_[home(key)]); }

  // Adds `count` (>= 1) to the count of `key`.
  void add(Key key, std::uint64_t count) {
    if (used_ + 1 > (mask_ + 1) / 4 * 3) grow();
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.count == 0) {
        slot = {key, count};
        ++used_;
        return;
      }
      if (slot.key == key) {
        slot.count += count;
        return;
      }
    }
  }

  // Doubles every count: this table merged with itself.
  void double_counts() {
    for (Slot& slot : slots_) slot.count *= 2;
  }

  std::size_t size() const { return used_; }

  // Calls visit(key, count) for every window, in no particular order.
  template <typename Visit>
  void for_each(Visit visit) const {
    for (const Slot& slot : slots_) {
      if (slot.count != 0) visit(slot.key, slot.count);
    }
  }

  // The windows and their counts, sorted by key; keys have `bytes` bytes.
  BigVector<WindowCount<Key>> sorted(std::size_t bytes) const {
    BigVector<WindowCount<Key>> windows;
    windows.reserve(used_);
    for_each([&](Key key, std::uint64_t count) { windows.push_back({key, count}); });
    sort_by_key(windows, bytes);
    return windows;
  }

 private:
  static constexpr int kInitialBits = 12;
  using Slot = WindowCount<Key>;  // count 0 marks an empty slot

  static std::uint64_t hash(std::uint64_t key) { return fmix64(key); }
  static std::uint64_t hash(unsigned __int128 key) {
    return fmix64(static_cast<std::uint64_t>(key) ^ fmix64(static_cast<std::uint64_t>(key >> 64)));
  }
  std::size_t home(Key key) const { return hash(key) >> (64 - bits_); }

  void allocate(int bits) {
    bits_ = bits;
    mask_ = (std::size_t{1} << bits) - 1;
    slots_.assign(mask_ + 1, Slot{0, 0});
  }

  void grow() {
    BigVector<Slot> old;
    old.swap(slots_);
    allocate(bits_ + 1);
    for (const Slot& s : old) {
      if (s.count == 0) continue;
      std::size_t i = home(s.key);
      while (slots_[i].count != 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  BigVector<Slot> slots_;
  std::size_t used_ = 0;
  std::size_t mask_ = 0;
  int bits_ = 0;
};

}  // namespace internal

namespace {

using internal::BigVector;
using internal::WindowCount;
using internal::WindowCounts;

// The `length` bytes at `p` as a key, the last byte in the lowest 8 bits.
template <typename Key>
Key packed(const std::uint8_t* p, std::size_t length) {
  Key key = 0;
  for (std::size_t i = 0; i < length; ++i) key = (key << 8) | p[i];
  return key;
}

// The entropy of every context (a run of windows sharing all but their last byte) seen
// at least `min_count` times, in order of key. Within a run the windows are sorted by
// that last byte, so the terms are summed in ascending byte order, with the rounding
// of FrequencyTable::compute_entropy.
template <typename Key>
std::vector<ContextEntropy> context_entropies(const BigVector<WindowCount<Key>>& windows,
                                              std::uint64_t min_count) {
  std::vector<ContextEntropy> contexts;
  for (std::size_t begin = 0; begin < windows.size();) {
    const Key context = windows[begin].key >> 8;
    std::size_t end = begin;
    std::uint64_t total = 0;
    for (; end < windows.size() && (windows[end].key >> 8) == context; ++end) {
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
  const std::uint64_t mask =
      length >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
  BigVector<WindowCount<std::uint64_t>> suffixes(windows.size());
  for (std::size_t w = 0; w < windows.size(); ++w) {
    suffixes[w] = {static_cast<std::uint64_t>(windows[w].key) & mask, windows[w].count};
  }
  internal::sort_by_key(suffixes, length);
  std::size_t out = 0;
  for (std::size_t w = 0; w < suffixes.size(); ++w) {
    if (out > 0 && suffixes[out - 1].key == suffixes[w].key) {
      suffixes[out - 1].count += suffixes[w].count;
    } else {
      suffixes[out++] = suffixes[w];
    }
  }
  suffixes.resize(out);
  return suffixes;
}

// --- The encoding: "QELTCNT1", k, the number of windows, then each window in order of
// key as the difference from the previous key and its count, all as LEB128 varints.

constexpr char kCountsMagic[8] = {'Q', 'E', 'L', 'T', 'C', 'N', 'T', '1'};

template <typename Value>
void put_varint(std::string& out, Value value) {
  do {
    const auto byte = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
    out.push_back(static_cast<char>(value != 0 ? byte | 0x80 : byte));
  } while (value != 0);
}

[[noreturn]] void bad_encoding(const char* why) {
  throw std::invalid_argument(std::string("not an encoding of context counts: ") + why);
}

// Reads a varint of at most `bits` significant bits at `p`, advancing it.
template <typename Value>
Value get_varint(const std::uint8_t*& p, const std::uint8_t* end, int bits) {
  Value value = 0;
  for (int shift = 0;; shift += 7) {
    if (p == end) bad_encoding("it is truncated");
    const std::uint8_t byte = *p++;
    const Value part = byte & 0x7F;
    if (shift >= bits || (bits - shift < 7 && (part >> (bits - shift)) != 0)) {
      bad_encoding("a number is out of range");
    }
    value |= part << shift;
    if ((byte & 0x80) == 0) {
      if (byte == 0 && shift > 0) bad_encoding("a number is not in its shortest form");
      return value;
    }
  }
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
  const std::size_t windows = n - length + 1;
  auto& table = *std::get<std::unique_ptr<WindowCounts<Key>>>(table_);
  constexpr std::size_t kAhead = 32;
  for (std::size_t j = 0; j < windows; ++j) {
    if (j + kAhead < windows) table.prefetch(packed<Key>(data + j + kAhead, length));
    table.add(packed<Key>(data + j, length), 1);
  }
  positions_ += windows;
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
          const Table& from = *std::get<std::unique_ptr<Table>>(other.table_);
          from.for_each([&](auto key, std::uint64_t count) { table->add(key, count); });
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

std::string ContextCounts::serialize() const {
  std::string out(kCountsMagic, 8);
  out.push_back(static_cast<char>(k_));
  std::visit(
      [&](const auto& table) {
        const auto windows = table->sorted(static_cast<std::size_t>(k_) + 1);
        put_varint(out, windows.size());
        typename std::remove_reference_t<decltype(*table)>::KeyType previous = 0;
        for (const auto& window : windows) {
          put_varint(out, window.key - previous);
          put_varint(out, window.count);
          previous = window.key;
        }
      },
      table_);
  return out;
}

ContextCounts ContextCounts::deserialize(const std::uint8_t* data, std::size_t size) {
  if (size < 9 || std::memcmp(data, kCountsMagic, 8) != 0) bad_encoding("wrong magic");
  const int k = data[8];
  if (k > ContextModel::kMaxOrder) bad_encoding("k is over 8");
  ContextCounts counts(k);
  const std::uint8_t* p = data + 9;
  const std::uint8_t* end = data + size;
  const int key_bits = 8 * (k + 1);
  std::visit(
      [&](auto& table) {
        using Key = typename std::remove_reference_t<decltype(*table)>::KeyType;
        const Key largest = key_bits >= static_cast<int>(8 * sizeof(Key))
                                ? ~Key{0}
                                : (Key{1} << key_bits) - 1;
        const auto windows = get_varint<std::uint64_t>(p, end, 64);
        // Every window takes at least two bytes: a larger number is a lie.
        if (windows > static_cast<std::uint64_t>(end - p) / 2) bad_encoding("it is truncated");
        Key key = 0;
        std::uint64_t positions = 0;
        for (std::uint64_t w = 0; w < windows; ++w) {
          const Key delta = get_varint<Key>(p, end, key_bits);
          if (w > 0 && delta == 0) bad_encoding("windows are repeated or out of order");
          if (delta > largest - key) {
            bad_encoding("a window is longer than k + 1 bytes");
          }
          key += delta;
          const std::uint64_t count = get_varint<std::uint64_t>(p, end, 64);
          if (count == 0) bad_encoding("a count is zero");
          if (count > std::numeric_limits<std::uint64_t>::max() - positions) {
            bad_encoding("the counts overflow");
          }
          positions += count;
          table->add(key, count);
        }
        counts.positions_ = positions;
      },
      counts.table_);
  if (p != end) bad_encoding("bytes follow the counts");
  return counts;
}

}  // namespace qelt
