// The one entropy arithmetic that every distribution of counts in qelt shares: the
// frequency table, context counts, patching and every kind of model.
#ifndef QELT_CORE_ENTROPY_TERM_H_
#define QELT_CORE_ENTROPY_TERM_H_

#include <cstdint>

namespace qelt {

// p * ln(p) for p = count / total (0 < count <= total), where p is the exact ratio
// rounded once to single precision and ln is the platform's `logf`. The product of
// two floats is exact in double, so the result carries no rounding of its own.
double p_log_p(std::int64_t count, std::int64_t total);

// One step of the entropy sum: `entropy - term` evaluated in double and rounded once
// to single precision. Summing the terms of a distribution in ascending byte order
// with this step is the definition of its entropy.
inline float subtract_entropy_term(float entropy, double term) {
  return static_cast<float>(static_cast<double>(entropy) - term);
}

}  // namespace qelt

#endif  // QELT_CORE_ENTROPY_TERM_H_
