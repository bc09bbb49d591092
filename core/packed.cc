// Patch starts of a stretch of packed bytes: the patches before the stretch are skipped
// by their lengths, then each one inside it marks its first byte. Positions are compared
// by their distances from `begin` and `end`, never by sums, so that no lengths, however
// damaged, can carry a position past the end of `out`.

#include "packed.h"

#include <cstring>

namespace qelt {

void mark_patch_starts(const std::uint32_t* lengths, std::size_t count, std::uint64_t first,
                       std::uint64_t begin, std::uint64_t end, std::uint8_t* out) {
  if (end == begin) return;  // `out` may be null then
  std::memset(out, 0, end - begin);
  std::uint64_t start = first;  // of patch p; start <= begin until the stretch is reached
  std::size_t p = 0;
  for (; p < count && lengths[p] <= begin - start; ++p) start += lengths[p];
  if (p < count && start < begin) {  // the patch begun before `begin` runs into it
    if (lengths[p] >= end - start) return;
    start += lengths[p++];
  }
  for (; p < count && start < end; ++p) {
    out[start - begin] = 1;
    if (lengths[p] >= end - start) return;
    start += lengths[p];
  }
}

}  // namespace qelt
