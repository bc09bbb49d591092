// Where everything lies in a model file of version 3 (internal; docs/formats.md,
// "Model file", "Version 3"), for the writers and the reader alike.
//
// The contexts of each length are placed in blocks by a hash of their last bytes (the
// last two, or fewer when k is smaller), a number of blocks that follows from the
// number of contexts alone, so that the contexts ending in the same bytes, which a
// share of a build holds together, are written together: a block of contexts and the
// lists of their bytes is one section of the file, and the sections come in one order
// in which those of a share of the build are next to one another, whatever the number
// of shares.
#ifndef QELT_CORE_FORMAT_MODEL_LAYOUT_H_
#define QELT_CORE_FORMAT_MODEL_LAYOUT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

#include "model_contents.h"
#include "util/hash.h"
#include "util/window_key.h"

namespace qelt {
namespace internal {

constexpr std::uint32_t kVersion3 = 3;
constexpr std::size_t kFixedHeader3 = 48;
constexpr std::size_t kLengthEntry3 = 32;  // contexts, pairs, blocks, directory offset
constexpr std::size_t kBlockEntry3 = 32;   // table offset, slots, lists offset, lists bytes
constexpr std::size_t kTrailer = 8;        // CRC-32C, reserved
// A length is cut into blocks of about this many contexts, at least.
constexpr std::uint64_t kContextsPerBlock = 4096;
constexpr int kMostBlocksLog2 = 16;

// The number of last bytes of a context that place it in a block: 2, or k if less.
inline int bucket_bytes(int k) { return k < 2 ? k : 2; }

// How a context's last `bucket` bytes spread it over blocks (and a build's contexts
// over shares): the top bits of this.
inline std::uint64_t bucket_hash(std::uint64_t key, int bucket) {
  return fmix64(key & window_mask(static_cast<std::size_t>(bucket)));
}

// The log2 of the number of blocks of contexts of `length` when there are `contexts`
// of them: one block below length `bucket`, else as many as keep kContextsPerBlock
// contexts or more each (a power of two, at most 2^16).
inline int blocks_log2(std::uint64_t contexts, int length, int bucket) {
  if (length < bucket) return 0;
  int log2 = 0;
  while (log2 < kMostBlocksLog2 && (contexts >> (log2 + 1)) >= kContextsPerBlock) ++log2;
  return log2;
}

// The block of a context of `key` among 2^log2.
inline std::uint32_t block_of(std::uint64_t key, int bucket, int log2) {
  return log2 == 0 ? 0 : static_cast<std::uint32_t>(bucket_hash(key, bucket) >> (64 - log2));
}

// A slot of a table of version 3: the key (4 bytes up to length 4, else 8), the entropy,
// the weight, and the distance in bytes from the slot to the list of its bytes (0: it
// lists none), all little-endian.
inline std::size_t key_bytes3(int length) { return length <= 4 ? 4 : 8; }
inline std::size_t slot_bytes3(int length) { return key_bytes3(length) + 12; }

// The slots of a table of `contexts` contexts: a quarter more, and one, so that at
// least one is empty and a search for an absent key ends.
inline std::uint64_t model_slots(std::uint64_t contexts) {
  return contexts == 0 ? 0 : contexts + contexts / 4 + 1;
}

// The bytes of the list of a context of `pairs` bytes: their number less one, the
// bytes, their probabilities (f32).
inline std::uint64_t list_bytes(std::uint64_t pairs) { return pairs == 0 ? 0 : 1 + 5 * pairs; }

inline std::uint64_t align8(std::uint64_t x) { return (x + 7) & ~std::uint64_t{7}; }

// A section: the contexts of one length in one block.
struct SectionId {
  int length;
  std::uint32_t block;
};

// Where a section of a length of 2^log2 blocks comes in the order below.
inline std::tuple<std::uint32_t, int, int> section_rank(const SectionId& section, int log2) {
  return {section.block << (kMostBlocksLog2 - log2), log2, section.length};
}

// The sections of a file in their order: by the start of their block's share of the
// hash, then by their length's number of blocks, then by length. The sections of any
// range of the hash that a share of a build (a power of two of them) covers come
// next to one another in it, the blocks of lengths of fewer blocks before them.
std::vector<SectionId> section_order(int k, const std::array<int, kMaxOrder + 1>& log2);

// An upper bound on the size of a file of `contexts[j]` contexts listing `pairs[j]`
// bytes of each length j = 0 .. k, whatever blocks they fall in; the largest 64-bit
// value if it would not fit in memory.
std::uint64_t bounded_size3(int k, const std::uint64_t* contexts, const std::uint64_t* pairs);

// The bytes of the header and the directories of a file of these blocks.
std::uint64_t header_bytes3(int k, const std::array<int, kMaxOrder + 1>& log2);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_FORMAT_MODEL_LAYOUT_H_
