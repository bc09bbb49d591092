// Interpolated modified Kneser-Ney smoothing of context counts (internal).
#ifndef QELT_CORE_INTERNAL_KNESER_NEY_H_
#define QELT_CORE_INTERNAL_KNESER_NEY_H_

#include <array>
#include <cstdint>
#include <vector>

#include "model_contents.h"

namespace qelt {

// What a model is made from, for the contexts of one length, each sorted by key: how
// often each was seen, the entropy of those counts, and the bytes that followed it
// with their counts and, for smoothing, their continuation counts (how many distinct
// bytes were seen before the context and the byte; at the longest length, their counts
// again).
struct Gathered {
  std::vector<std::uint64_t> keys, totals;
  std::vector<float> entropies;
  std::vector<std::uint64_t> ends;  // the bytes of context c end at ends[c]
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> counts, continuations;
};

namespace internal {

// The discounts of one length for counts of 1, 2 and 3 or more (docs/formats.md,
// "Model file"), from how many of its bytes have a smoothing count of 1, 2, 3 and 4.
std::array<double, 3> kneser_ney_discounts(const std::array<std::uint64_t, 4>& have);

// The smoothed orders of every context gathered[j], j = 0 .. k (gathered[j] holds
// every context of length j seen, each with its continuation counts, and every suffix
// of one is among the shorter ones): each context's distribution interpolates its
// discounted counts with the distribution of its suffix one byte shorter, down to the
// uniform distribution over 256 bytes, and its entropy is that distribution's.
std::vector<ModelOrder> kneser_ney(const std::vector<Gathered>& gathered);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_KNESER_NEY_H_
