// Reading packed shards (docs/formats.md, "Packed shards"): stretches of a shard's
// bytes with the starts of their patches.
#ifndef QELT_CORE_PACKED_H_
#define QELT_CORE_PACKED_H_

#include <cstddef>
#include <cstdint>

namespace qelt {

// Patches of `count` lengths, `lengths[0 .. count)`, laid end to end from position
// `first`: sets out[p - begin] to 1 for every position p in [begin, end) at which one of
// them starts, and to 0 for the others. Positions past the last patch are 0. Requires
// first <= begin <= end; `out` holds end - begin bytes.
void mark_patch_starts(const std::uint32_t* lengths, std::size_t count, std::uint64_t first,
                       std::uint64_t begin, std::uint64_t end, std::uint8_t* out);

// The sums of consecutive blocks of `block` lengths of `lengths[0 .. count)`: sums[b]
// is the sum of lengths[b * block .. min((b + 1) * block, count)), for every b below
// ceil(count / block). Requires block >= 1.
void sum_length_blocks(const std::uint32_t* lengths, std::size_t count, std::size_t block,
                       std::uint64_t* sums);

// A shard's bytes and patch lengths (both borrowed), with the starts of every
// `block`-th patch: block_starts[b] is the sum of the first b * block lengths, for every
// b below `blocks` (at least 1; block_starts[0] is 0). Made from sum_length_blocks.
struct PackedShard {
  const std::uint8_t* bytes;
  std::uint64_t size;
  const std::uint32_t* lengths;
  std::size_t count;
  const std::uint64_t* block_starts;
  std::size_t blocks;
  std::size_t block;
};

// Copies bytes [begin, end) of `shard` to bytes_out and marks in starts_out the
// positions at which a patch starts, as mark_patch_starts does; only the patches of the
// block that holds `begin` and after are read. Requires begin <= end <= shard.size.
void read_stretch(const PackedShard& shard, std::uint64_t begin, std::uint64_t end,
                  std::uint8_t* bytes_out, std::uint8_t* starts_out);

}  // namespace qelt

#endif  // QELT_CORE_PACKED_H_
