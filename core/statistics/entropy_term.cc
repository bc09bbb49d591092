// The entropy arithmetic is fixed to the bit, so that every build and every caller
// that sums the same counts in the same order gets the same float.

#include "entropy_term.h"

#include <math.h>

namespace qelt {

double p_log_p(std::int64_t count, std::int64_t total) {
  // Dividing in double and rounding once to float gives the correctly rounded
  // quotient: double has more than 2 * 24 + 2 bits, so rounding twice never differs
  // from rounding once. For totals up to 2^24, where both operands are exact floats,
  // this is exactly the single-precision division count / total.
  const float p =
      static_cast<float>(static_cast<double>(count) / static_cast<double>(total));
  return static_cast<double>(p) * static_cast<double>(logf(p));
}

}  // namespace qelt
