// The thresholds that decide where a patch ends.
#ifndef QELT_CORE_THRESHOLDS_H_
#define QELT_CORE_THRESHOLDS_H_

namespace qelt {

// A byte ends its patch when the entropy (nats) at its position is above `theta`, or
// else rose over the previous position's entropy by more than `theta_r`. Both tests
// are strict, in single precision for `theta` and in double for the rise, so a NaN
// threshold never passes its own test; any other value, infinities and negative ones
// included, is meaningful.
struct Thresholds {
  float theta = 0.0f;
  float theta_r = 0.0f;
};

}  // namespace qelt

#endif  // QELT_CORE_THRESHOLDS_H_
