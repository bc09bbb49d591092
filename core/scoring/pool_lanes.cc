// Each pass is written once over vectors of N lanes and built twice: N = 4 for any
// processor, N = 8 in functions built for AVX2, chosen once at run time. The passes
// only add and multiply lane by lane and compare, so every lane's value is the same
// at both widths; a sum is gathered into eight lanes (two vectors of 4, or one of 8)
// that are added up in one order at the end, and a largest value is the same in any
// order. So a document's entropies do not depend on the machine that reads it.

// Vectors of 8 are only ever passed around inside the AVX2 functions (all inlined).
#pragma GCC diagnostic ignored "-Wpsabi"

#include "scoring/pool_lanes.h"

#include <cstring>

#include "util/float_lanes.h"

namespace qelt {
namespace internal {

namespace {

constexpr int kSumLanes = 8;

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

// A sum in double over eight lanes, held as two vectors of four.
struct EightDoubles {
  Doubles4 quarters[kSumLanes / 4] = {};

  // Adds the N lanes of `v` to the lanes from `first` on.
  template <int N>
  QELT_LANES_INLINE void add(int first, Floats<N> v) {
    for (int h = 0; h < N / 4; ++h) quarters[first / 4 + h] += lane_quarter<N>(v, h);
  }
  // ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)): three steps, not seven.
  QELT_LANES_INLINE double sum() const {
    const Doubles4 halves = quarters[0] + quarters[1];
    return (halves[0] + halves[2]) + (halves[1] + halves[3]);
  }
};

// A sum in double over eight lanes whose values are first summed in float, a block of
// kBlock values (four to a lane) at a time: as close as double where a difference of
// such sums is wanted, for a quarter of the work in double.
constexpr int kBlock = 32;

template <int N>
struct BlockedSum {
  Floats<N> block[kSumLanes / N] = {};
  EightDoubles whole;

  // Adds `v` to vector i of the block (its lanes from i N on).
  QELT_LANES_INLINE void add(int i, Floats<N> v) { block[i] += v; }
  // Into double, the block starting afresh: after each kBlock values, and at the end.
  QELT_LANES_INLINE void flush() {
    for (int i = 0; i < kSumLanes / N; ++i) {
      whole.template add<N>(i * N, block[i]);
      block[i] = Floats<N>{};
    }
  }
  QELT_LANES_INLINE double sum() {
    flush();
    return whole.sum();
  }
};

template <int N>
QELT_LANES_INLINE TouchedSums touched_pass(const Touched& touched, const float* weights,
                                           float bias, float* exps) {
  constexpr int kVectors = kSumLanes / N;  // to a sum's eight lanes
  const int n = touched.n;
  const int end = (n + kSumLanes - 1) / kSumLanes * kSumLanes;
  Floats<N> w[kGatheredSources];
  for (int s = 0; s < kGatheredSources; ++s) w[s] = splat<N>(weights[s]);
  const Floats<N> zero{};
  // The model's logs at the touched bytes, and the scores (lanes at n and beyond taken
  // as 0, whatever the arrays hold there).
  alignas(32) float model[256];
  alignas(32) float scores[256];
  const float* sources[kGatheredSources] = {model};
  for (int d = 0; d < kDocumentScores; ++d) sources[1 + d] = touched.document[d];
  Floats<N> highest = zero;
  for (int at = 0; at < end; at += N) {
    typename LaneTypes<N>::Ints codes;
    for (int l = 0; l < N; ++l) codes[l] = touched.model_codes[touched.bytes[at + l]];
    const Floats<N> logs = __builtin_convertvector(codes, Floats<N>) * kLogStep;
    store_lanes<N>(model + at, logs);
    Floats<N> x = w[0] * logs;
    for (int s = 1; s < kGatheredSources; ++s) x = x + w[s] * load_lanes<N>(sources[s] + at);
    x = (x + bias) + load_lanes<N>(touched.extra + at);
    store_lanes<N>(scores + at, x);
    highest = lanes_max<N>(highest, lanes_below<N>(at, n) ? x : zero);
  }
  const Floats<N> largest = splat<N>(lane_max<N>(highest));
  const Floats<N> floor = splat<N>(-87.0f);
  Floats<N> totals[kVectors] = {}, weighted[kVectors] = {};
  Floats<N> source_sums[kGatheredSources][kVectors] = {};
  BlockedSum<N> model_totals, model_weighted;
  for (int b = 0; b < end; b += kSumLanes) {
    for (int i = 0; i < kVectors; ++i) {
      const int at = b + i * N;
      const auto inside = lanes_below<N>(at, n);
      const Floats<N> x = lanes_max<N>(load_lanes<N>(scores + at) - largest, floor);
      const Floats<N> e = inside ? exp_below_zero<N>(x) : zero;
      store_lanes<N>(exps + at, e);
      totals[i] += e;
      weighted[i] += e * x;
      const Floats<N> model = inside ? load_lanes<N>(sources[0] + at) : zero;
      source_sums[0][i] += e * model;
      for (int s = 1; s < kGatheredSources; ++s) {
        source_sums[s][i] += e * (inside ? load_lanes<N>(sources[s] + at) : zero);
      }
      const Floats<N> p = inside ? exp_below_zero<N>(lanes_max<N>(model, floor)) : zero;
      model_totals.add(i, p);
      model_weighted.add(i, p * model);
    }
    if ((b + kSumLanes) % kBlock == 0) {
      model_totals.flush();
      model_weighted.flush();
    }
  }
  TouchedSums sums;
  sums.largest = largest[0];
  sums.total = eight_lane_sum<N>(totals);
  sums.weighted = eight_lane_sum<N>(weighted);
  for (int s = 0; s < kGatheredSources; ++s) sums.sources[s] = eight_lane_sum<N>(source_sums[s]);
  sums.model_total = model_totals.sum();
  sums.model_weighted = model_weighted.sum();
  return sums;
}

template <int N>
QELT_LANES_INLINE ModelTotals code_pass(const float* logs, std::int16_t* codes) {
  using Ints = typename LaneTypes<N>::Ints;
  constexpr int kVectors = kSumLanes / N;
  BlockedSum<N> totals, weighted;
  for (int b = 0; b < 256; b += kSumLanes) {
    for (int i = 0; i < kVectors; ++i) {
      const int at = b + i * N;
      // -log / step rounded to the nearest whole number (it is at least 0).
      const Ints negated =
          __builtin_convertvector(load_lanes<N>(logs + at) * -(1.0f / kLogStep) + 0.5f, Ints);
      const typename LaneTypes<N>::Shorts coded_lanes =
          __builtin_convertvector(-negated, typename LaneTypes<N>::Shorts);
      std::memcpy(codes + at, &coded_lanes, sizeof coded_lanes);
      const Floats<N> coded = __builtin_convertvector(-negated, Floats<N>) * kLogStep;
      const Floats<N> p = exp_below_zero<N>(coded);
      totals.add(i, p);
      weighted.add(i, p * coded);
    }
    if ((b + kSumLanes) % kBlock == 0) {
      totals.flush();
      weighted.flush();
    }
  }
  return {totals.sum(), weighted.sum()};
}

template <int N>
QELT_LANES_INLINE void shift_pass(const std::int16_t* codes, float shift, float floor, float* out) {
  const Floats<N> least = splat<N>(floor);
  for (int at = 0; at < 256; at += N) {
    typename LaneTypes<N>::Shorts narrow;
    std::memcpy(&narrow, codes + at, sizeof narrow);
    const Floats<N> logs =
        __builtin_convertvector(__builtin_convertvector(narrow, typename LaneTypes<N>::Ints),
                                Floats<N>) *
        kLogStep;
    store_lanes<N>(out + at, lanes_max<N>(logs + shift, least));
  }
}

template <int N>
QELT_LANES_INLINE void logs_pass(int n, const float* probs, const float* shifts, float floor,
                                 float* out) {
  const Floats<N> least = splat<N>(floor);
  for (int at = 0; at < n; at += N) {
    const Floats<N> x = load_lanes<N>(shifts + at) + log_of_normal<N>(load_lanes<N>(probs + at));
    store_lanes<N>(out + at, lanes_max<N>(x, least));
  }
}

#if defined(__x86_64__) || defined(__i386__)
#define QELT_POOL_WIDE 1

__attribute__((target("avx2"))) void logs_wide(int n, const float* probs, const float* shifts,
                                               float floor, float* out) {
  logs_pass<8>(n, probs, shifts, floor, out);
}

__attribute__((target("avx2"))) TouchedSums pool_touched_wide(const Touched& touched,
                                                              const float* weights, float bias,
                                                              float* exps) {
  return touched_pass<8>(touched, weights, bias, exps);
}

__attribute__((target("avx2"))) ModelTotals code_wide(const float* logs, std::int16_t* codes) {
  return code_pass<8>(logs, codes);
}

__attribute__((target("avx2"))) void shift_wide(const std::int16_t* codes, float shift,
                                                float floor, float* out) {
  shift_pass<8>(codes, shift, floor, out);
}

bool wide() {
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  return has_avx2;
}
#endif

}  // namespace

TouchedSums pool_touched_narrow(const Touched& touched, const float* weights, float bias,
                                float* exps) {
  return touched_pass<4>(touched, weights, bias, exps);
}

TouchedSums pool_touched(const Touched& touched, const float* weights, float bias, float* exps) {
#ifdef QELT_POOL_WIDE
  if (wide()) return pool_touched_wide(touched, weights, bias, exps);
#endif
  return pool_touched_narrow(touched, weights, bias, exps);
}

ModelTotals code_logs(const float* logs, std::int16_t* codes) {
#ifdef QELT_POOL_WIDE
  if (wide()) return code_wide(logs, codes);
#endif
  return code_pass<4>(logs, codes);
}

void shift_codes(const std::int16_t* codes, float shift, float floor, float* out) {
#ifdef QELT_POOL_WIDE
  if (wide()) return shift_wide(codes, shift, floor, out);
#endif
  shift_pass<4>(codes, shift, floor, out);
}

void listed_logs(int n, const float* probs, const float* shifts, float floor, float* out) {
#ifdef QELT_POOL_WIDE
  if (wide()) return logs_wide(n, probs, shifts, floor, out);
#endif
  logs_pass<4>(n, probs, shifts, floor, out);
}

}  // namespace internal
}  // namespace qelt
