// The contexts a model keeps within its budgets: min_count and the file's size (internal).
#ifndef QELT_CORE_ESTIMATION_BUDGET_H_
#define QELT_CORE_ESTIMATION_BUDGET_H_

#include <array>
#include <cstdint>
#include <vector>

#include "estimation/estimator.h"
#include "model_contents.h"

namespace qelt {
namespace internal {

// A number for each context length 0 .. 8.
using OrderSizes = std::array<std::uint64_t, 9>;

// The size of the file of a model of `contexts[j]` contexts listing `pairs[j]` bytes
// of each length j = 0 .. k; the largest 64-bit value if it would not fit in memory.
std::uint64_t image_size(int k, const OrderSizes& contexts, const OrderSizes& pairs);

// Leaves out of `orders` the contexts seen fewer than `min_count` times (gathered
// gives how often), and then those that a file of at most `max_bytes` (0: no limit)
// has no room for, each with its bytes: in ascending order of count, the longer first
// among equal counts, then in ascending order of key; never the empty context. Throws
// std::invalid_argument if even the empty context alone does not fit.
void keep_within(std::vector<ModelOrder>& orders, const std::vector<GatheredOrder>& gathered,
                 std::uint64_t min_count, std::uint64_t max_bytes);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_ESTIMATION_BUDGET_H_
