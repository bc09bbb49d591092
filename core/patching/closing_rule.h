// When a patch ends (internal).
#ifndef QELT_CORE_PATCHING_CLOSING_RULE_H_
#define QELT_CORE_PATCHING_CLOSING_RULE_H_

#include <cstddef>
#include <vector>

#include "thresholds.h"

namespace qelt {
namespace internal {

// Whether entropy `h` rose over the previous position's `previous` by more than
// `theta_r`. The rise is formed in double, so that it is not rounded before the
// comparison; a NaN threshold never passes.
inline bool rises(float h, float previous, float theta_r) {
  return static_cast<double>(h) - static_cast<double>(previous) > theta_r;
}

// Whether the byte at an evaluated position with entropy `h` ends its patch: `h` is
// above theta, or else it rose over the previous position's by more than theta_r.
// Both tests are made, with no branch between them: where entropies vary, which of
// them decides is as good as random.
inline bool closes(float h, float previous, Thresholds thresholds) {
  return static_cast<bool>(static_cast<unsigned>(h > thresholds.theta) |
                           static_cast<unsigned>(rises(h, previous, thresholds.theta_r)));
}

// Ends the last patch at `n`, unless a closing position already did.
inline void end_last_patch(std::vector<std::size_t>& ends, std::size_t n) {
  if (ends.empty() || ends.back() != n) ends.push_back(n);
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_PATCHING_CLOSING_RULE_H_
