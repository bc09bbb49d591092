// The passes a mixing reader makes over the byte values a position's sources touch and
// over the model's distributions (internal), in the widest vectors the processor has,
// with the same values at every width.
#ifndef QELT_CORE_SCORING_POOL_LANES_H_
#define QELT_CORE_SCORING_POOL_LANES_H_

#include <cstdint>

#include "util/float_lanes.h"

namespace qelt {
namespace internal {

// The sources read at every touched byte: the model's log-probability, and the scores
// of the document's orders.
constexpr int kDocumentScores = 4;
constexpr int kGatheredSources = 1 + kDocumentScores;

// The model's log-probabilities are held in 16 bits: a code c in [-32767, 0] stands
// for the log c kLogStep, so logs from -24 to 0 are held within 3.7e-4 (half a step).
constexpr float kLogStep = 24.0f / 32767.0f;
inline float log_of_code(std::int16_t code) { return static_cast<float>(code) * kLogStep; }

// The touched bytes, their sources and the rest of their scores.
struct Touched {
  int n;                             // at most 256
  const std::uint8_t* bytes;         // bytes[i]: the i-th touched byte
  const std::int16_t* model_codes;   // of the 256 values
  const float* document[kDocumentScores];  // document[d][i]: order d's score at bytes[i]
  const float* extra;                // extra[i]: at bytes[i]
};

// What pool_touched() sums (over i < n), with m[i] = log_of_code(model_codes[bytes[i]]).
struct TouchedSums {
  float largest;   // M: the largest score, or 0 if none is larger
  float total;     // of e^x[i], with x[i] = max(score[i] - M, -87)
  float weighted;  // of e^x[i] x[i]
  float sources[kGatheredSources];  // of e^x[i] m[i], and of e^x[i] document[d][i]
  // Taken as a distribution's totals are (ModelTotals: they are subtracted from them,
  // and the touched bytes may hold nearly all of the model's mass):
  double model_total;     // of model_exp(m[i])
  double model_weighted;  // of model_exp(m[i]) m[i]
};

// For i < n (every array of n values holds 256, whatever lies beyond n): score[i] =
// (weights[0] m[i] + weights[1] document[0][i] + ... + weights[4] document[3][i], added
// in that order, + bias) + extra[i]; exps[i] = e^x[i]; and the sums. Each sum is taken
// in one fixed order, the same at every width: eight lanes (lane l adds the values at
// i = l mod 8 in turn), then the lanes in turn.
TouchedSums pool_touched(const Touched& touched, const float* weights, float bias, float* exps);
// The same, in vectors of 4 whatever the processor has (for tests that compare the
// widths).
TouchedSums pool_touched_narrow(const Touched& touched, const float* weights, float bias,
                                float* exps);

// e^x for x in [-87, 0], within 6e-6 (relative): the value the passes take for it.
inline float model_exp(float x) { return exp_below_zero<4>(splat<4>(x))[0]; }

// The totals of a distribution: of model_exp(l) and of model_exp(l) l over its 256
// logs l. Each sum is taken in blocks of 32 values: within a block in float, as
// pool_touched() sums (eight lanes, lane l adding the values at i = l mod 8 in turn);
// each block's eight lanes then added, in double, to eight lanes of double l0 .. l7;
// those added up as ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)). As close as
// double, for a quarter of its work.
struct ModelTotals {
  double total;
  double weighted;
};

// codes[b] = the code nearest logs[b] for the 256 logs (each in [-24, 0]), and the
// totals of the logs the codes stand for.
ModelTotals code_logs(const float* logs, std::int16_t* codes);

// out[b] = max(shift + log_of_code(codes[b]), floor) for the 256 values.
void shift_codes(const std::int16_t* codes, float shift, float floor, float* out);

// out[i] = max(shifts[i] + ln probs[i], floor) for i < n (n at most 256; each array
// holds 256; a probability of 0 gives floor, with shifts at most 0 and floor above
// -87), by log_of_normal().
void listed_logs(int n, const float* probs, const float* shifts, float floor, float* out);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_SCORING_POOL_LANES_H_
