// The order of sections and the bounds on sizes that writers and the reader of model
// files of version 3 share.

#include "format/model_layout.h"

#include <algorithm>
#include <tuple>

namespace qelt {
namespace internal {

std::vector<SectionId> section_order(int k, const std::array<int, kMaxOrder + 1>& log2) {
  std::vector<SectionId> order;
  for (int j = 0; j <= k; ++j) {
    for (std::uint32_t b = 0; b < (std::uint32_t{1} << log2[j]); ++b) order.push_back({j, b});
  }
  auto rank = [&](const SectionId& s) { return section_rank(s, log2[s.length]); };
  std::sort(order.begin(), order.end(),
            [&](const SectionId& a, const SectionId& b) { return rank(a) < rank(b); });
  return order;
}

std::uint64_t header_bytes3(int k, const std::array<int, kMaxOrder + 1>& log2) {
  std::uint64_t bytes = kFixedHeader3 + kLengthEntry3 * static_cast<std::uint64_t>(k + 1);
  for (int j = 0; j <= k; ++j) bytes += kBlockEntry3 << log2[j];
  return bytes;
}

std::uint64_t bounded_size3(int k, const std::uint64_t* contexts, const std::uint64_t* pairs) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
  std::array<int, kMaxOrder + 1> log2{};
  const int bucket = bucket_bytes(k);
  for (int j = 0; j <= k; ++j) log2[j] = blocks_log2(contexts[j], j, bucket);
  std::uint64_t size = align8(header_bytes3(k, log2)) + kTrailer;
  for (int j = 0; j <= k; ++j) {
    if (contexts[j] > kLimit / 64 || pairs[j] > kLimit / 8) return ~std::uint64_t{0};
    if (contexts[j] == 0) continue;
    const std::uint64_t blocks = std::uint64_t{1} << log2[j];
    // Each block: its table, one slot more than a quarter over its contexts (the
    // quarters of the parts add up to no more than the quarter of the whole), its
    // lists, and up to 7 bytes of padding before the next.
    size += slot_bytes3(j) * (contexts[j] + contexts[j] / 4 + blocks) + contexts[j] +
            5 * pairs[j] + 7 * blocks;
  }
  return size;
}

}  // namespace internal
}  // namespace qelt
