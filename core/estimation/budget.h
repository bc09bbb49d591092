// The size a budget of bytes holds a model to (internal).
#ifndef QELT_CORE_ESTIMATION_BUDGET_H_
#define QELT_CORE_ESTIMATION_BUDGET_H_

#include <array>
#include <cstdint>

#include "model_contents.h"

namespace qelt {
namespace internal {

// A number for each context length 0 .. 8.
using OrderSizes = std::array<std::uint64_t, kMaxOrder + 1>;

// The size a budget holds a model of `contexts[j]` contexts listing `pairs[j]` bytes of
// each length j = 0 .. k to: the larger of its version 2 file and the bound on its
// version 3 file (at least its file); the largest 64-bit value if it would not fit in
// memory.
std::uint64_t image_size(int k, const OrderSizes& contexts, const OrderSizes& pairs);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_ESTIMATION_BUDGET_H_
