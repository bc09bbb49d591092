// A model made in one go, as plainly as it can be: every context of every length
// gathered at once, each length estimated from the shortest up, and a budget met by
// leaving contexts out one at a time in its order, the file's size reckoned after
// each. The reference that builds in shares are held to. Slow and memory-hungry.
#ifndef QELT_CORE_REFERENCE_STRAIGHTFORWARD_MODEL_H_
#define QELT_CORE_REFERENCE_STRAIGHTFORWARD_MODEL_H_

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "context_counts.h"
#include "context_model.h"
#include "estimation/budget.h"
#include "estimation/derivation.h"
#include "estimation/estimator.h"

namespace qelt {
namespace testing {

// The windows of k + 1 bytes of `documents`, with their counts, in order of key.
inline std::map<std::string, std::uint64_t> window_counts_of(
    const std::vector<std::string>& documents, int k) {
  std::map<std::string, std::uint64_t> windows;
  for (const std::string& d : documents) {
    for (std::size_t i = 0; i + k + 1 <= d.size(); ++i) ++windows[d.substr(i, k + 1)];
  }
  return windows;
}

// The model to_model(min_count, max_bytes, kind) makes of the counts of `documents`.
inline ContextModel straightforward_model(const std::vector<std::string>& documents, int k,
                                          std::uint64_t min_count, std::uint64_t max_bytes,
                                          const ModelKind& kind) {
  // Windows keyed as the counts key them: the byte after the context lowest, the
  // context's bytes above it, the last of them next.
  std::vector<std::pair<unsigned __int128, std::uint64_t>> windows;
  for (const auto& [bytes, count] : window_counts_of(documents, k)) {
    unsigned __int128 key = 0;
    for (const char c : bytes) key = key << 8 | static_cast<std::uint8_t>(c);
    windows.emplace_back(key, count);
  }
  std::sort(windows.begin(), windows.end());
  std::vector<GatheredOrder> gathered(static_cast<std::size_t>(k) + 1);
  auto for_each = [&](auto visit) {
    for (const auto& [key, count] : windows) visit(key, count);
  };
  internal::derive_orders<unsigned __int128>(k, k, 0, for_each, windows.size() + 1,
                                             kind.every_context ? 1 : min_count,
                                             kind.every_context, true, gathered);
  std::vector<ModelOrder> orders;
  std::vector<MadeOrder> made(static_cast<std::size_t>(k) + 1);
  for (int j = 0; j <= k; ++j) {
    ModelKind::Statistics statistics{};
    kind.count(gathered[j], statistics);
    orders.push_back(kind.estimate(gathered[j], statistics, j > 0 ? &gathered[j - 1] : nullptr,
                                   j > 0 ? &made[j - 1] : nullptr, &made[j]));
  }
  // Kept: seen min_count times; then left out one at a time until the file fits.
  std::vector<std::vector<bool>> keep(orders.size());
  internal::OrderSizes contexts{}, pairs{};
  auto listed = [&](int j, std::size_t c) {
    return orders[j].pair_ends[c] - (c == 0 ? 0 : orders[j].pair_ends[c - 1]);
  };
  struct Candidate {
    std::uint64_t total;
    int length;
    std::size_t index;
  };
  std::vector<Candidate> candidates;
  for (int j = 0; j <= k; ++j) {
    for (std::size_t c = 0; c < gathered[j].keys.size(); ++c) {
      keep[j].push_back(gathered[j].totals[c] >= min_count);
      if (!keep[j][c]) continue;
      ++contexts[j];
      pairs[j] += listed(j, c);
      if (j > 0) candidates.push_back({gathered[j].totals[c], j, c});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return a.total != b.total ? a.total < b.total : a.length > b.length;
  });
  auto size = [&] { return internal::image_size(k, contexts, pairs); };
  for (std::size_t i = 0; max_bytes != 0 && size() > max_bytes; ++i) {
    if (i == candidates.size()) {
      throw std::invalid_argument("max_bytes " + std::to_string(max_bytes) +
                                  " is below the smallest model of these counts, " +
                                  std::to_string(size()) + " bytes");
    }
    const Candidate& drop = candidates[i];
    keep[drop.length][drop.index] = false;
    --contexts[drop.length];
    pairs[drop.length] -= listed(drop.length, drop.index);
  }
  std::vector<ModelOrder> kept(orders.size());
  for (int j = 0; j <= k; ++j) {
    for (std::size_t c = 0; c < orders[j].contexts.size(); ++c) {
      if (!keep[j][c]) continue;
      kept[j].contexts.push_back(orders[j].contexts[c]);
      if (!orders[j].weights.empty()) kept[j].weights.push_back(orders[j].weights[c]);
      const std::uint64_t first = c == 0 ? 0 : orders[j].pair_ends[c - 1];
      for (std::uint64_t p = first; p < orders[j].pair_ends[c]; ++p) {
        kept[j].pair_bytes.push_back(orders[j].pair_bytes[p]);
        kept[j].pair_probabilities.push_back(orders[j].pair_probabilities[p]);
      }
      kept[j].pair_ends.push_back(kept[j].pair_bytes.size());
    }
  }
  return ContextModel::build(kind, min_count, kept);
}

}  // namespace testing
}  // namespace qelt

#endif  // QELT_CORE_REFERENCE_STRAIGHTFORWARD_MODEL_H_
