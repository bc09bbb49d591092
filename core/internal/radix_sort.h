// Least-significant-digit radix sort (internal).
#ifndef QELT_CORE_INTERNAL_RADIX_SORT_H_
#define QELT_CORE_INTERNAL_RADIX_SORT_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "big_buffer.h"

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

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_RADIX_SORT_H_
