// Floats taken N at a time as one value (internal).
//
// Loops over the 256 byte values are written a vector at a time with the compiler's
// vector types, so that they are vectorised whatever its cost model makes of them (it
// gives up on loops that carry several sums). The same code serves every width: 4
// lanes, which every x86-64 and Arm processor has, and 8 in a function built for AVX2.
// Lanes are added and multiplied one by one, never fused, so a lane's value is the
// same at every width.
#ifndef QELT_CORE_UTIL_FLOAT_LANES_H_
#define QELT_CORE_UTIL_FLOAT_LANES_H_

#include <cstdint>
#include <cstring>

namespace qelt {
namespace internal {

template <int N>
struct LaneTypes;
template <>
struct LaneTypes<4> {
  typedef float Floats __attribute__((vector_size(16)));
  typedef std::uint32_t Bits __attribute__((vector_size(16)));
  typedef std::int32_t Ints __attribute__((vector_size(16)));
  typedef std::int16_t Shorts __attribute__((vector_size(8)));
};
template <>
struct LaneTypes<8> {
  typedef float Floats __attribute__((vector_size(32)));
  typedef std::uint32_t Bits __attribute__((vector_size(32)));
  typedef std::int32_t Ints __attribute__((vector_size(32)));
  typedef std::int16_t Shorts __attribute__((vector_size(16)));
};
template <int N>
using Floats = typename LaneTypes<N>::Floats;

// Every helper is inlined, so that it takes the instructions of the function it is
// used in (a vector of 8 is only passed in registers where AVX is on).
#define QELT_LANES_INLINE inline __attribute__((always_inline))

// The N floats at `at` (no alignment needed), and back.
template <int N>
QELT_LANES_INLINE Floats<N> load_lanes(const float* at) {
  Floats<N> v;
  std::memcpy(&v, at, sizeof v);
  return v;
}
template <int N>
QELT_LANES_INLINE void store_lanes(float* at, Floats<N> v) {
  std::memcpy(at, &v, sizeof v);
}

// Doubles four at a time (one register where AVX is on).
typedef double Doubles4 __attribute__((vector_size(32)));

// Lanes 4h to 4h + 3 of `v`, as doubles.
template <int N>
QELT_LANES_INLINE Doubles4 lane_quarter(Floats<N> v, int h) {
  typedef float Floats4 __attribute__((vector_size(16)));
  const Floats4 four = {v[4 * h], v[4 * h + 1], v[4 * h + 2], v[4 * h + 3]};
  return __builtin_convertvector(four, Doubles4);
}

// The N lanes from `first` on that are below `limit`: true where first + l < limit.
template <int N>
QELT_LANES_INLINE auto lanes_below(int first, int limit) {
  Floats<N> indices;
  for (int l = 0; l < N; ++l) indices[l] = static_cast<float>(first + l);
  return indices < static_cast<float>(limit);
}

// `x` in every lane.
template <int N>
QELT_LANES_INLINE Floats<N> splat(float x) {
  return Floats<N>{} + x;
}

template <int N>
QELT_LANES_INLINE Floats<N> lanes_max(Floats<N> a, Floats<N> b) {
  return a > b ? a : b;
}

template <int N>
QELT_LANES_INLINE float lane_max(Floats<N> v) {
  float largest = v[0];
  for (int l = 1; l < N; ++l) largest = v[l] > largest ? v[l] : largest;
  return largest;
}

// e^x in each lane, for x in [-87, 0]: x log2 e = n + f, n whole (rounded by adding
// 1.5 2^23, which leaves it in the low bits of the sum, exact in the default rounding
// mode), f in [-0.5, 0.5]; 2^f by six terms of its series, n into the exponent. Within
// 6e-6 of e^x (relative): the series' remainder, and the rounding of x log2 e.
template <int N>
QELT_LANES_INLINE Floats<N> exp_below_zero(Floats<N> x) {
  using Bits = typename LaneTypes<N>::Bits;
  const Floats<N> t = x * 1.44269504f;
  const Floats<N> shifted = t + 12582912.0f;
  const Floats<N> n = shifted - 12582912.0f;
  const Floats<N> f = (t - n) * 0.693147181f;
  const Floats<N> series =
      1.0f + f * (1.0f + f * (0.5f + f * (0.166666667f + f * (0.0416666667f + f * 0.00833333333f))));
  Bits bits;
  std::memcpy(&bits, &shifted, sizeof bits);
  const Bits scale_bits = (bits + (127u - 0x4B400000u)) << 23;
  Floats<N> scale;
  std::memcpy(&scale, &scale_bits, sizeof scale);
  return series * scale;
}

// ln x in each lane, for x in [2^-126, 2^128) (smaller x are taken as 2^-126): x is
// m 2^e with m in [sqrt(1/2), sqrt(2)), and ln m = 2 atanh(s) for s = (m - 1) / (m + 1),
// |s| < 0.172, by five terms of its series; ln 2 in two parts, so that e ln 2 is exact
// to float's precision. Within 2e-7 of ln x (absolute, for x below 1).
template <int N>
QELT_LANES_INLINE Floats<N> log_of_normal(Floats<N> x) {
  using Bits = typename LaneTypes<N>::Bits;
  using Ints = typename LaneTypes<N>::Ints;
  x = lanes_max<N>(x, splat<N>(1.17549435e-38f));
  Bits bits;
  std::memcpy(&bits, &x, sizeof bits);
  const Ints exponent = (Ints)(bits >> 23) - 127;
  const Bits mantissa_bits = (bits & 0x007FFFFFu) | 0x3F800000u;
  Floats<N> m;
  std::memcpy(&m, &mantissa_bits, sizeof m);
  const auto high = m > 1.41421356f;
  m = high ? m * 0.5f : m;
  const Floats<N> e =
      __builtin_convertvector(exponent, Floats<N>) + (high ? splat<N>(1.0f) : Floats<N>{});
  const Floats<N> s = (m - 1.0f) / (m + 1.0f);
  const Floats<N> s2 = s * s;
  const Floats<N> series =
      (s + s) *
      (1.0f + s2 * (0.333333333f + s2 * (0.2f + s2 * (0.142857143f + s2 * 0.111111111f))));
  return (e * -2.12194440e-4f + series) + e * 0.693359375f;
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_FLOAT_LANES_H_
