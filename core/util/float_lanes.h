// Four floats taken as one value (internal).
//
// Loops over the 256 byte values are written eight lanes at a time with the compiler's
// vector types, so that they are vectorised whatever its cost model makes of them (it
// gives up on loops that carry several sums), and so that every sum over them is taken
// in one fixed order: each lane on its own, then the lanes in turn. Lanes are added and
// multiplied one by one, never fused, so a value is the same on every target.
#ifndef QELT_CORE_UTIL_FLOAT_LANES_H_
#define QELT_CORE_UTIL_FLOAT_LANES_H_

#include <cstdint>
#include <cstring>

namespace qelt {
namespace internal {

using Lanes = float __attribute__((vector_size(16)));
using LaneBits = std::uint32_t __attribute__((vector_size(16)));
constexpr int kLanes = 4;

// The eight floats at `at` (no alignment needed), and back.
inline Lanes load_lanes(const float* at) {
  Lanes v;
  std::memcpy(&v, at, sizeof v);
  return v;
}
inline void store_lanes(float* at, Lanes v) { std::memcpy(at, &v, sizeof v); }

// `x` in every lane.
inline Lanes splat(float x) { return Lanes{} + x; }

inline Lanes lanes_max(Lanes a, Lanes b) { return a > b ? a : b; }

// The lanes' sum, lane 0 first; and their largest.
inline float lane_sum(Lanes v) {
  float sum = v[0];
  for (int l = 1; l < kLanes; ++l) sum += v[l];
  return sum;
}
inline float lane_max(Lanes v) {
  float largest = v[0];
  for (int l = 1; l < kLanes; ++l) largest = v[l] > largest ? v[l] : largest;
  return largest;
}

// e^x in each lane, for x in [-87, 0]: x log2 e = n + f, n whole (rounded by adding
// 1.5 2^23, which leaves it in the low bits of the sum, exact in the default rounding
// mode), f in [-0.5, 0.5]; 2^f by six terms of its series, n into the exponent. Within
// 2e-7 of expf (relative).
inline Lanes exp_below_zero(Lanes x) {
  const Lanes t = x * 1.44269504f;
  const Lanes shifted = t + 12582912.0f;
  const Lanes n = shifted - 12582912.0f;
  const Lanes f = (t - n) * 0.693147181f;
  const Lanes series =
      1.0f + f * (1.0f + f * (0.5f + f * (0.166666667f + f * (0.0416666667f + f * 0.00833333333f))));
  LaneBits bits;
  std::memcpy(&bits, &shifted, sizeof bits);
  const LaneBits scale_bits = (bits + (127u - 0x4B400000u)) << 23;
  Lanes scale;
  std::memcpy(&scale, &scale_bits, sizeof scale);
  return series * scale;
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_FLOAT_LANES_H_
