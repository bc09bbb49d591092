// Each pass is written once over vectors of N lanes and built twice: N = 4 for any
// processor, N = 8 in functions built for AVX2, chosen once at run time. The passes
// only add and multiply lane by lane and compare, so every lane's value is the same
// at both widths; a sum is gathered into eight lanes (two vectors of 4, or one of 8)
// that are added up in one order at the end, and a largest value is the same in any
// order. So a document's entropies do not depend on the machine that reads it.

// Vectors of 8 are only ever passed around inside the AVX2 functions (all inlined).
#pragma GCC diagnostic ignored "-Wpsabi"

#include "scoring/pool_lanes.h"

#include "util/float_lanes.h"

namespace qelt {
namespace internal {

namespace {

constexpr int kSumLanes = 8;

template <int N>
QELT_LANES_INLINE void scores_pass(const float* weights, const float* const* sources,
                                   float* scores) {
  const Floats<N> w0 = splat<N>(weights[0]), w1 = splat<N>(weights[1]),
                  w2 = splat<N>(weights[2]);
  for (int b = 0; b < 256; b += N) {
    store_lanes<N>(scores + b, w0 * load_lanes<N>(sources[0] + b) +
                                   w1 * load_lanes<N>(sources[1] + b) +
                                   w2 * load_lanes<N>(sources[2] + b));
  }
}

// The eight lanes of a sum held in vectors of N, added up lane 0 first.
template <int N>
QELT_LANES_INLINE float eight_lane_sum(const Floats<N>* vectors) {
  float lanes[kSumLanes];
  for (int i = 0; i < kSumLanes / N; ++i) {
    for (int l = 0; l < N; ++l) lanes[i * N + l] = vectors[i][l];
  }
  float sum = lanes[0];
  for (int l = 1; l < kSumLanes; ++l) sum += lanes[l];
  return sum;
}

template <int N>
QELT_LANES_INLINE PoolSums exponentials_pass(const float* scores, const float* const* sources,
                                             float* exps) {
  constexpr int kVectors = kSumLanes / N;  // to a sum's eight lanes
  // Four maxima side by side, which the processor can take at once.
  Floats<N> highest[4];
  for (int i = 0; i < 4; ++i) highest[i] = load_lanes<N>(scores + i * N);
  for (int b = 4 * N; b < 256; b += 4 * N) {
    for (int i = 0; i < 4; ++i) highest[i] = lanes_max<N>(highest[i], load_lanes<N>(scores + b + i * N));
  }
  const Floats<N> largest = splat<N>(lane_max<N>(
      lanes_max<N>(lanes_max<N>(highest[0], highest[1]), lanes_max<N>(highest[2], highest[3]))));
  const Floats<N> floor = splat<N>(-87.0f);
  Floats<N> totals[kVectors] = {}, weighted[kVectors] = {};
  Floats<N> source_sums[kDenseSources][kVectors] = {};
  for (int b = 0; b < 256; b += kSumLanes) {
    for (int i = 0; i < kVectors; ++i) {
      const int at = b + i * N;
      const Floats<N> x = lanes_max<N>(load_lanes<N>(scores + at) - largest, floor);
      const Floats<N> e = exp_below_zero<N>(x);
      store_lanes<N>(exps + at, e);
      totals[i] += e;
      weighted[i] += e * x;
      for (int s = 0; s < kDenseSources; ++s) source_sums[s][i] += e * load_lanes<N>(sources[s] + at);
    }
  }
  PoolSums sums;
  sums.total = eight_lane_sum<N>(totals);
  sums.weighted = eight_lane_sum<N>(weighted);
  for (int s = 0; s < kDenseSources; ++s) sums.sources[s] = eight_lane_sum<N>(source_sums[s]);
  return sums;
}

#if defined(__x86_64__) || defined(__i386__)
#define QELT_POOL_WIDE 1

__attribute__((target("avx2"))) void pool_scores_wide(const float* weights,
                                                      const float* const* sources, float* scores) {
  scores_pass<8>(weights, sources, scores);
}

__attribute__((target("avx2"))) PoolSums pool_exponentials_wide(const float* scores,
                                                                const float* const* sources,
                                                                float* exps) {
  return exponentials_pass<8>(scores, sources, exps);
}

bool wide() {
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  return has_avx2;
}
#endif

}  // namespace

void pool_scores_narrow(const float* weights, const float* const* sources, float* scores) {
  scores_pass<4>(weights, sources, scores);
}

PoolSums pool_exponentials_narrow(const float* scores, const float* const* sources, float* exps) {
  return exponentials_pass<4>(scores, sources, exps);
}

void pool_scores(const float* weights, const float* const* sources, float* scores) {
#ifdef QELT_POOL_WIDE
  if (wide()) return pool_scores_wide(weights, sources, scores);
#endif
  pool_scores_narrow(weights, sources, scores);
}

PoolSums pool_exponentials(const float* scores, const float* const* sources, float* exps) {
#ifdef QELT_POOL_WIDE
  if (wide()) return pool_exponentials_wide(scores, sources, exps);
#endif
  return pool_exponentials_narrow(scores, sources, exps);
}

}  // namespace internal
}  // namespace qelt
