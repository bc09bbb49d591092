// Radix sorts (internal).
#ifndef QELT_CORE_UTIL_RADIX_SORT_H_
#define QELT_CORE_UTIL_RADIX_SORT_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "util/big_buffer.h"

namespace qelt {
namespace internal {

// Sorts `items` by digit(item, digits - 1), ..., digit(item, 0), each in 0..255,
// with stable counting-sort passes, least significant digit first; `sorted` is room
// for as many items. The counts of every digit are taken in one pass, and a pass is
// skipped when its digit is the same in every item.
template <typename Item, typename Digit>
void radix_sort(BigVector<Item>& items, BigVector<Item>& sorted, std::size_t digits,
                Digit digit) {
  std::vector<std::array<std::size_t, 256>> counts(digits);
  for (const Item& item : items) {
    for (std::size_t d = 0; d < digits; ++d) ++counts[d][digit(item, d)];
  }
  for (std::size_t d = 0; d < digits; ++d) {
    std::array<std::size_t, 256>& start = counts[d];
    if (std::find(start.begin(), start.end(), items.size()) != start.end()) continue;
    std::size_t sum = 0;
    for (std::size_t& c : start) sum += std::exchange(c, sum);
    for (const Item& item : items) sorted[start[digit(item, d)]++] = item;
    items.swap(sorted);
  }
}

// Sorts the items that for_each(visit) gives, calling visit(item) for each in any
// order (the same order on every call), into `items`, as radix_sort does; `items` and
// `room` each have room for exactly as many items as are given. Items that fit in the
// caches are gathered and sorted by radix_sort. More are dealt into 256 buckets by one
// pass on the most significant digit (digit(item, digits - 1)), and each bucket, small
// enough to stay in the caches, is then sorted on the other digits, least significant
// first: one pass over memory instead of one per digit.
template <typename Item, typename ForEach, typename Digit>
void radix_sort_of(ForEach for_each, BigVector<Item>& items, BigVector<Item>& room,
                   std::size_t digits, Digit digit) {
  constexpr std::size_t kCachedBytes = std::size_t{16} << 20;
  if (digits <= 1 || items.size() * sizeof(Item) <= kCachedBytes) {
    std::size_t i = 0;
    for_each([&](const Item& item) { items[i++] = item; });
    radix_sort(items, room, digits, digit);
    return;
  }
  const std::size_t top = digits - 1;
  std::array<std::size_t, 257> start{};
  for_each([&](const Item& item) { ++start[digit(item, top) + 1]; });
  for (std::size_t b = 0; b < 256; ++b) start[b + 1] += start[b];
  std::array<std::size_t, 256> next;
  std::copy(start.begin(), start.end() - 1, next.begin());
  for_each([&](const Item& item) { room[next[digit(item, top)]++] = item; });
  // Each bucket: sorted on digits 0 .. top - 1 between `room` and `items`, ending in
  // `items`.
  std::array<std::size_t, 256> counts;
  for (std::size_t b = 0; b < 256; ++b) {
    Item* from = room.data() + start[b];
    Item* to = items.data() + start[b];
    const std::size_t size = start[b + 1] - start[b];
    for (std::size_t d = 0; d < top; ++d) {
      counts.fill(0);
      for (std::size_t i = 0; i < size; ++i) ++counts[digit(from[i], d)];
      std::size_t sum = 0;
      for (std::size_t& c : counts) sum += std::exchange(c, sum);
      for (std::size_t i = 0; i < size; ++i) to[counts[digit(from[i], d)]++] = from[i];
      std::swap(from, to);
    }
    if (from != items.data() + start[b]) std::copy(from, from + size, items.data() + start[b]);
  }
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_RADIX_SORT_H_
