// Patch starts of a stretch of packed bytes: the patches before the stretch are skipped
// by their lengths, then each one inside it marks its first byte. Readers skip most of
// those patches at once by the sums of blocks of lengths, made once per shard.
// Positions are compared by their distances from `begin` and `end`, never by sums, so
// that no lengths, however damaged, can carry a position past the end of `out`.

#include "packed.h"

#include <algorithm>
#include <cstring>

namespace qelt {

namespace {

// Lengths are taken a group at a time where a whole group can be: its sum is a
// reduction the compiler vectorizes, and inside a group that ends before the stretch
// does, no start needs a bounds check.
constexpr std::size_t kGroup = 16;

std::uint64_t sum_of_group(const std::uint32_t* lengths) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < kGroup; ++i) sum += lengths[i];
  return sum;
}

}  // namespace

void mark_patch_starts(const std::uint32_t* lengths, std::size_t count, std::uint64_t first,
                       std::uint64_t begin, std::uint64_t end, std::uint8_t* out) {
  if (end == begin) return;  // `out` may be null then
  std::memset(out, 0, end - begin);
  std::uint64_t start = first;  // of patch p; start <= begin until the stretch is reached
  std::size_t p = 0;
  // Skipped: the patches that start before `begin` and end at or before it. A patch of
  // no bytes at `begin` is not one of them: it starts in the stretch.
  for (std::uint64_t sum; count - p >= kGroup && (sum = sum_of_group(lengths + p)) < begin - start;
       p += kGroup) {
    start += sum;
  }
  for (; p < count && start < begin && lengths[p] <= begin - start; ++p) start += lengths[p];
  if (p < count && start < begin) {  // the patch begun before `begin` runs into it
    if (lengths[p] >= end - start) return;
    start += lengths[p++];
  }
  while (count - p >= kGroup && sum_of_group(lengths + p) < end - start) {
    for (std::size_t i = 0; i < kGroup; ++i, ++p) {
      out[start - begin] = 1;
      start += lengths[p];
    }
  }
  for (; p < count && start < end; ++p) {
    out[start - begin] = 1;
    if (lengths[p] >= end - start) return;
    start += lengths[p];
  }
}

void sum_length_blocks(const std::uint32_t* lengths, std::size_t count, std::size_t block,
                       std::uint64_t* sums) {
  for (std::size_t begin = 0; begin < count; begin += block) {
    const std::size_t end = count - begin < block ? count : begin + block;
    std::uint64_t sum = 0;
    for (std::size_t p = begin; p < end; ++p) sum += lengths[p];
    *sums++ = sum;
  }
}

void read_stretch(const PackedShard& shard, std::uint64_t begin, std::uint64_t end,
                  std::uint8_t* bytes_out, std::uint8_t* starts_out) {
  if (end == begin) return;
  std::memcpy(bytes_out, shard.bytes + begin, end - begin);
  const std::uint64_t* after =
      std::upper_bound(shard.block_starts, shard.block_starts + shard.blocks, begin);
  const std::size_t b = static_cast<std::size_t>(after - shard.block_starts) - 1;
  const std::size_t skipped = std::min(b * shard.block, shard.count);
  mark_patch_starts(shard.lengths + skipped, shard.count - skipped, shard.block_starts[b], begin,
                    end, starts_out);
}

}  // namespace qelt
