// Patching by entropies that another model gave: the rules alone, over an array. Each
// position is written as an end and kept by advancing a count rather than by a branch,
// since whether an entropy closes a patch is as good as random.

#include <cmath>
#include <stdexcept>
#include <string>

#include "util/big_buffer.h"
#include "patching/closing_rule.h"
#include "patching.h"

namespace qelt {

std::size_t patch_ends_from_entropies(const float* entropies, std::size_t n, std::size_t first,
                                     Thresholds thresholds, std::size_t* out) {
  if (n == 0) return 0;
  bool any_nan = false;
  for (std::size_t i = 0; i < first && i < n; ++i) any_nan |= entropies[i] != entropies[i];
  std::size_t count = 0;
  float previous = 0.0f;
  for (std::size_t i = first; i < n; ++i) {
    const float h = entropies[i];
    any_nan |= h != h;
    out[count] = i + 1;
    count += internal::closes(h, previous, thresholds);
    previous = h;
  }
  if (any_nan) {
    std::size_t at = 0;
    while (!std::isnan(entropies[at])) ++at;
    throw std::invalid_argument("the entropy at position " + std::to_string(at) + " is NaN");
  }
  if (count == 0 || out[count - 1] != n) out[count++] = n;  // the last byte ends a patch
  return count;
}

std::vector<std::size_t> patch_ends_from_entropies(const float* entropies, std::size_t n,
                                                   std::size_t first, Thresholds thresholds) {
  // Room for an end at every position; only the pages written are ever touched.
  internal::BigVector<std::size_t> written(n + 1);
  const std::size_t count = patch_ends_from_entropies(entropies, n, first, thresholds,
                                                      written.data());
  return std::vector<std::size_t>(written.data(), written.data() + count);
}

}  // namespace qelt
