// What estimators are given: the contexts of one length and their counts (internal).
#ifndef QELT_CORE_ESTIMATION_ESTIMATOR_H_
#define QELT_CORE_ESTIMATION_ESTIMATOR_H_

#include <array>
#include <cstdint>
#include <vector>

#include "model_contents.h"
#include "model_kinds.h"

namespace qelt {

// What a model is made from, for the contexts of one length, each sorted by key: how
// often each was seen, the entropy of those counts, and the bytes that followed it
// with their counts and, for a kind that reads every context, their continuation
// counts (how many distinct bytes were seen before the context and the byte; at the
// longest length, their counts again).
struct GatheredOrder {
  int length = 0;
  std::vector<std::uint64_t> keys, totals;
  std::vector<float> entropies;
  std::vector<std::uint64_t> ends;  // the bytes of context c end at ends[c]
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> counts, continuations;

  // Where the bytes of context c begin.
  std::uint64_t begin(std::size_t c) const { return c == 0 ? 0 : ends[c - 1]; }
};

// What an estimator made of one length, for the next longer one to interpolate with:
// the probability of each gathered byte, in their order, and the entropy of each
// context, unrounded.
struct MadeOrder {
  std::vector<double> probabilities;
  std::vector<double> entropies;
};

// The estimators, one per file under estimators/, each a ModelKind::Count and a
// ModelKind::Estimate of the table of kinds (model_kinds.cc).
void count_unsmoothed(const GatheredOrder& gathered, ModelKind::Statistics& into);
ModelOrder estimate_unsmoothed(const GatheredOrder& gathered,
                               const ModelKind::Statistics& statistics,
                               const GatheredOrder* shorter, const MadeOrder* shorter_made,
                               MadeOrder* made);
void count_kneser_ney(const GatheredOrder& gathered, ModelKind::Statistics& into);
ModelOrder estimate_kneser_ney(const GatheredOrder& gathered,
                               const ModelKind::Statistics& statistics,
                               const GatheredOrder* shorter, const MadeOrder* shorter_made,
                               MadeOrder* made);

}  // namespace qelt

#endif  // QELT_CORE_ESTIMATION_ESTIMATOR_H_
