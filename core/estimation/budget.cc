// The size a budget of bytes holds a model to. It is held to the size of the version 2
// file of the contexts kept, as it always was (so that a budget keeps the same
// contexts in every version), and to a bound on the version 3 file, which is smaller
// but for the smallest models: both follow from the contexts and listed bytes of each
// length alone (format/model_format.h, format/model_layout.h).

#include "estimation/budget.h"

#include <algorithm>

#include "format/model_format.h"

namespace qelt {
namespace internal {

std::uint64_t image_size(int k, const OrderSizes& contexts, const OrderSizes& pairs) {
  const std::size_t size = model_image_size(k, contexts.data(), pairs.data());
  return std::max<std::uint64_t>(size == 0 ? ~std::uint64_t{0} : size,
                                 bounded_size3(k, contexts.data(), pairs.data()));
}

}  // namespace internal
}  // namespace qelt
