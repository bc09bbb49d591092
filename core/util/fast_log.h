// A natural logarithm for the sums of entropies (internal).
#ifndef QELT_CORE_UTIL_FAST_LOG_H_
#define QELT_CORE_UTIL_FAST_LOG_H_

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace qelt {
namespace internal {

// ln x for x > 0, within 1e-14 of std::log (relative), with no division and no long
// chain of dependent steps, so that many of them overlap where they are summed: x is
// m 2^e with m in [1, 2); m is near a centre c among 128 (its top 7 bits), whose ln c
// and 1 / c are tabled, and ln m = ln c + ln(1 + r) for r = m / c - 1, |r| < 1/256,
// by five terms of its series. Subnormal x, 0, negative, infinite and NaN go to
// std::log.
inline double fast_log(double x) {
  struct Centre {
    double inverse;
    double log;
  };
  static const std::array<Centre, 128> centres = [] {
    std::array<Centre, 128> table{};
    for (int j = 0; j < 128; ++j) {
      const double c = 1.0 + (j + 0.5) / 128.0;
      table[j] = {1.0 / c, std::log(c)};
    }
    return table;
  }();
  if (!(x >= DBL_MIN && x <= DBL_MAX)) return std::log(x);
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const int exponent = static_cast<int>(bits >> 52) - 1023;
  const Centre& centre = centres[(bits >> 45) & 127];
  bits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
  double m;
  std::memcpy(&m, &bits, sizeof m);
  const double r = m * centre.inverse - 1.0;
  const double r2 = r * r;
  const double series = r - r2 * (0.5 - r * (1.0 / 3)) - r2 * r2 * (0.25 - r * 0.2);
  return exponent * 0.6931471805599453 + centre.log + series;
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_FAST_LOG_H_
