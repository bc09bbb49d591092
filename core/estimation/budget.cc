// Which contexts a model keeps: those seen at least min_count times, and of those, as
// many as its file has room for. The file's size follows from the contexts and listed
// bytes of each length (format/model_format.h), so contexts are left out one at a time,
// rarest first, until it fits.

#include "estimation/budget.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "format/model_format.h"

namespace qelt {
namespace internal {

std::uint64_t image_size(int k, const OrderSizes& contexts, const OrderSizes& pairs) {
  const std::size_t size = model_image_size(k, contexts.data(), pairs.data());
  return size == 0 ? ~std::uint64_t{0} : size;
}

namespace {

// `order` with only the contexts `keep` marks, and their bytes.
void keep_marked(ModelOrder& order, const std::vector<bool>& keep) {
  ModelOrder kept;
  const bool weighted = !order.weights.empty();
  for (std::size_t c = 0; c < order.contexts.size(); ++c) {
    if (!keep[c]) continue;
    kept.contexts.push_back(order.contexts[c]);
    if (weighted) kept.weights.push_back(order.weights[c]);
    const std::uint64_t first = c == 0 ? 0 : order.pair_ends[c - 1];
    kept.pair_bytes.insert(kept.pair_bytes.end(), order.pair_bytes.begin() + first,
                           order.pair_bytes.begin() + order.pair_ends[c]);
    kept.pair_probabilities.insert(kept.pair_probabilities.end(),
                                   order.pair_probabilities.begin() + first,
                                   order.pair_probabilities.begin() + order.pair_ends[c]);
    kept.pair_ends.push_back(kept.pair_bytes.size());
  }
  order = std::move(kept);
}

}  // namespace

void keep_within(std::vector<ModelOrder>& orders, const std::vector<GatheredOrder>& gathered,
                 std::uint64_t min_count, std::uint64_t max_bytes) {
  const int k = static_cast<int>(orders.size()) - 1;
  std::vector<std::vector<bool>> keep(orders.size());
  OrderSizes contexts{}, pairs{};
  for (int j = 0; j <= k; ++j) {
    const std::vector<std::uint64_t>& totals = gathered[j].totals;
    keep[j].resize(totals.size());
    for (std::size_t c = 0; c < totals.size(); ++c) {
      keep[j][c] = totals[c] >= min_count;
      if (!keep[j][c]) continue;
      ++contexts[j];
      pairs[j] += orders[j].pair_ends[c] - (c == 0 ? 0 : orders[j].pair_ends[c - 1]);
    }
  }
  if (max_bytes != 0 && image_size(k, contexts, pairs) > max_bytes) {
    struct Candidate {
      std::uint64_t total;
      int length;
      std::size_t index;  // ascending with the key
    };
    std::vector<Candidate> candidates;
    for (int j = 1; j <= k; ++j) {
      for (std::size_t c = 0; c < keep[j].size(); ++c) {
        if (keep[j][c]) candidates.push_back({gathered[j].totals[c], j, c});
      }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
      if (a.total != b.total) return a.total < b.total;
      if (a.length != b.length) return a.length > b.length;
      return a.index < b.index;
    });
    bool fits = false;
    for (const Candidate& drop : candidates) {
      const std::vector<std::uint64_t>& ends = orders[drop.length].pair_ends;
      keep[drop.length][drop.index] = false;
      --contexts[drop.length];
      pairs[drop.length] -= ends[drop.index] - (drop.index == 0 ? 0 : ends[drop.index - 1]);
      if (image_size(k, contexts, pairs) <= max_bytes) {
        fits = true;
        break;
      }
    }
    if (!fits) {
      throw std::invalid_argument("max_bytes " + std::to_string(max_bytes) +
                                  " is below the smallest model of these counts, " +
                                  std::to_string(image_size(k, contexts, pairs)) + " bytes");
    }
  }
  for (int j = 0; j <= k; ++j) keep_marked(orders[j], keep[j]);
}
}  // namespace internal
}  // namespace qelt
