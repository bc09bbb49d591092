// Without smoothing a model is its counts: every context lists the bytes that followed
// it, each with its count over the context's, and gives no other byte any probability.
// Its entropy is the one computed from the counts as they were gathered.

#include "estimation/estimator.h"

namespace qelt {

void count_unsmoothed(const GatheredOrder&, ModelKind::Statistics&) {}

ModelOrder estimate_unsmoothed(const GatheredOrder& g, const ModelKind::Statistics&,
                               const GatheredOrder*, const MadeOrder*, MadeOrder*) {
  ModelOrder order;
  order.contexts.reserve(g.keys.size());
  order.pair_probabilities.reserve(g.bytes.size());
  for (std::size_t c = 0; c < g.keys.size(); ++c) {
    order.contexts.push_back({g.keys[c], g.entropies[c]});
    for (std::uint64_t p = g.begin(c); p < g.ends[c]; ++p) {
      order.pair_probabilities.push_back(static_cast<float>(
          static_cast<double>(g.counts[p]) / static_cast<double>(g.totals[c])));
    }
  }
  order.pair_ends = g.ends;
  order.pair_bytes = g.bytes;
  return order;
}

}  // namespace qelt
