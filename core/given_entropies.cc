// Patching by entropies that another model gave: the rules alone, over an array. Each
// position is written as an end and kept by advancing a count rather than by a branch,
// since whether an entropy closes a patch is as good as random.

#include <cmath>
#include <stdexcept>
#include <string>

#include "internal/big_buffer.h"
#include "internal/closing_rule.h"
#include "patching.h"

namespace qelt {

std::vector<std::size_t> patch_ends_from_entropies(const float* entropies, std::size_t n,
                                                   std::size_t first, Thresholds thresholds) {
  std::vector<std::size_t> ends;
  if (n == 0) return ends;
  bool any_nan = false;
  for (std::size_t i = 0; i < first && i < n; ++i) any_nan |= entropies[i] != entropies[i];
  // Room for an end at every position judged; only the pages written are ever touched.
  const std::size_t judged = first < n ? n - first : 0;
  internal::BigVector<std::size_t> written(judged);
  std::size_t count = 0;
  float previous = 0.0f;
  for (std::size_t i = first; i < n; ++i) {
    const float h = entropies[i];
    any_nan |= h != h;
    written[count] = i + 1;
    count += internal::closes(h, previous, thresholds);
    previous = h;
  }
  if (any_nan) {
    std::size_t at = 0;
    while (!std::isnan(entropies[at])) ++at;
    throw std::invalid_argument("the entropy at position " + std::to_string(at) + " is NaN");
  }
  ends.reserve(count + 1);
  ends.assign(written.data(), written.data() + count);
  internal::end_last_patch(ends, n);
  return ends;
}

}  // namespace qelt
