// Patch starts of packed bytes exactly as defined: every position of every patch laid
// out one by one. The reference for mark_patch_starts; slow (one step per byte).
#ifndef QELT_CORE_REFERENCE_STRAIGHTFORWARD_PATCH_STARTS_H_
#define QELT_CORE_REFERENCE_STRAIGHTFORWARD_PATCH_STARTS_H_

#include <cstdint>
#include <vector>

namespace qelt {
namespace testing {

inline std::vector<std::uint8_t> straightforward_patch_starts(
    const std::vector<std::uint32_t>& lengths, std::uint64_t first, std::uint64_t begin,
    std::uint64_t end) {
  std::vector<std::uint8_t> starts(end - begin, 0);
  std::uint64_t position = first;
  for (const std::uint32_t length : lengths) {
    if (position >= end) break;
    if (position >= begin) starts[position - begin] = 1;
    position += length;
  }
  return starts;
}

}  // namespace testing
}  // namespace qelt

#endif  // QELT_CORE_REFERENCE_STRAIGHTFORWARD_PATCH_STARTS_H_
