// Counts of windows of bytes, the store behind ContextCounts (internal).
#ifndef QELT_CORE_INTERNAL_WINDOW_COUNTS_H_
#define QELT_CORE_INTERNAL_WINDOW_COUNTS_H_

#include <cstddef>
#include <cstdint>

#include "big_buffer.h"
#include "hash.h"
#include "probing_table.h"
#include "radix_sort.h"

namespace qelt {
namespace internal {

// A window's key and how often it was seen; a count of 0 marks an empty slot.
template <typename KeyType>
struct WindowCount {
  using Key = KeyType;
  Key stored_key = 0;
  std::uint64_t count = 0;

  Key key() const { return stored_key; }
  bool empty() const { return count == 0; }
};

// Sorts windows whose keys have `bytes` bytes by key.
template <typename Key>
void sort_by_key(BigVector<WindowCount<Key>>& windows, std::size_t bytes) {
  BigVector<WindowCount<Key>> room(windows.size());
  radix_sort(windows, room, bytes, [](const WindowCount<Key>& w, std::size_t d) {
    return static_cast<std::size_t>(w.stored_key >> (8 * d)) & 0xFF;
  });
}

// Counts keyed by windows. Their order in the table never shows: models and
// encodings are made from the windows sorted by key.
template <typename KeyType>
class WindowCounts {
 public:
  using Key = KeyType;

  explicit WindowCounts(std::size_t keys = kInitialKeys) : table_(keys) {}

  void prefetch(Key key) const { table_.prefetch(key); }

  // Adds `count` (>= 1) to the count of `key`.
  void add(Key key, std::uint64_t count) {
    bool inserted;
    WindowCount<Key>& slot =
        table_.find_or_insert(key, [&] { return WindowCount<Key>{key, count}; }, inserted);
    if (!inserted) slot.count += count;
  }

  // Room for `keys` windows in all without growing.
  void reserve(std::size_t keys) { table_.reserve(keys); }

  // Adds the counts of `other`, another table.
  void merge(const WindowCounts& other) {
    if (table_.size() == 0) {
      table_ = other.table_;  // into nothing: a copy of the slots, in one pass
      return;
    }
    table_.reserve(table_.size() + other.table_.size());
    other.table_.for_each([&](const WindowCount<Key>& w) { add(w.stored_key, w.count); });
  }

  // Doubles every count: this table merged with itself.
  void double_counts() {
    table_.change_each([](WindowCount<Key>& w) { w.count *= 2; });
  }

  // The windows and their counts, sorted by key; keys have `bytes` bytes.
  BigVector<WindowCount<Key>> sorted(std::size_t bytes) const {
    BigVector<WindowCount<Key>> windows;
    windows.reserve(table_.size());
    table_.for_each([&](const WindowCount<Key>& w) { windows.push_back(w); });
    sort_by_key(windows, bytes);
    return windows;
  }

 private:
  static constexpr std::size_t kInitialKeys = 3072;

  GrowingTable<WindowCount<Key>, MurmurMix> table_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_WINDOW_COUNTS_H_
