// Without smoothing a model is its counts: every context lists the bytes that followed
// it, each with its count over the context's, and gives no other byte any probability.
// Its entropy is the one computed from the counts as they were gathered.

#include "estimation/estimator.h"

namespace qelt {

std::vector<ModelOrder> estimate_unsmoothed(const std::vector<GatheredOrder>& gathered) {
  std::vector<ModelOrder> orders(gathered.size());
  for (std::size_t j = 0; j < gathered.size(); ++j) {
    const GatheredOrder& g = gathered[j];
    ModelOrder& order = orders[j];
    order.contexts.reserve(g.keys.size());
    for (std::size_t c = 0; c < g.keys.size(); ++c) {
      order.contexts.push_back({g.keys[c], g.entropies[c]});
      for (std::uint64_t p = g.begin(c); p < g.ends[c]; ++p) {
        order.pair_probabilities.push_back(static_cast<float>(
            static_cast<double>(g.counts[p]) / static_cast<double>(g.totals[c])));
      }
    }
    order.pair_ends = g.ends;
    order.pair_bytes = g.bytes;
  }
  return orders;
}

}  // namespace qelt
