// The passes over a pool's 256 scores that a mixing reader makes at every position
// (internal), in the widest vectors the processor has, with the same values at every
// width.
#ifndef QELT_CORE_SCORING_POOL_LANES_H_
#define QELT_CORE_SCORING_POOL_LANES_H_

namespace qelt {
namespace internal {

// The sources whose scores are pooled densely: the model and the two shortest orders
// of the document.
constexpr int kDenseSources = 3;

// scores[b] = (w[0] s[0][b] + w[1] s[1][b]) + w[2] s[2][b] for each of the 256 values.
void pool_scores(const float* weights, const float* const* sources, float* scores);

// What pool_exponentials() sums.
struct PoolSums {
  float total;     // of e^x[b]
  float weighted;  // of e^x[b] x[b]
  float sources[kDenseSources];  // of e^x[b] s[i][b], for each source
};

// With x[b] the score less the largest of the 256, and at least -87: exps[b] = e^x[b]
// (within 6e-6, relative), and the sums. Each sum is taken in one fixed order, the
// same at every width: eight lanes (lane l adds the values at b = l mod 8 in turn),
// then the lanes in turn.
PoolSums pool_exponentials(const float* scores, const float* const* sources, float* exps);

// The same, in vectors of 4 whatever the processor has (for tests that compare the
// widths).
void pool_scores_narrow(const float* weights, const float* const* sources, float* scores);
PoolSums pool_exponentials_narrow(const float* scores, const float* const* sources, float* exps);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_SCORING_POOL_LANES_H_
