// A share is gathered by reading the counts in order of key and deriving from the
// windows of its share alone: a context's longer contexts and its shorter suffixes down
// to share_key_bytes(k) bytes end in the same bytes, so they are all among them. The
// rest of this file is the bytes the steps send each other.

#include "estimation/build_parts.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <variant>

#include "counting/window_counts.h"
#include "format/model_format.h"
#include "format/model_layout.h"

namespace qelt {

ShareBuilder::Gathered ShareBuilder::gather(const ContextCounts& counts, int index, int bits,
                                            const BuildSettings& settings, int lowest,
                                            bool entropies) {
  const ModelKind& kind = settings.model_kind();
  if (settings.min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  if (bits < 0 || bits > kMostShareBits || index < 0 || index >= (1 << bits)) {
    throw std::invalid_argument("no share " + std::to_string(index) + " of 2^" +
                                std::to_string(bits));
  }
  // A count carried with its continuation count must leave it room.
  if (kind.every_context && counts.positions() >> (64 - internal::kContinuationBits) != 0) {
    throw std::overflow_error("too many positions to carry continuation counts");
  }
  Gathered g;
  g.k = counts.k();
  g.bucket = share_key_bytes(g.k);
  g.orders.resize(static_cast<std::size_t>(g.k) + 1);
  const std::uint64_t min_gathered = kind.every_context ? 1 : settings.min_count;
  auto gather_from = [&](const auto* table) {
    using Key = typename std::remove_pointer_t<decltype(table)>::Key;
    const std::uint64_t bound = table->size_bound();
    const std::uint64_t hint = std::max<std::uint64_t>(1, bound >> bits);
    const std::uint32_t share = static_cast<std::uint32_t>(index);
    auto for_each = [&](auto visit) {
      table->for_each_in_order([&](Key window, std::uint64_t count) {
        if (bits != 0 &&
            internal::block_of(static_cast<std::uint64_t>(window >> 8), g.bucket, bits) != share) {
          return;
        }
        g.positions += count;
        visit(window, count);
      });
    };
    g.low = internal::derive_orders<Key>(g.k, g.k, lowest, for_each, hint, min_gathered,
                                         kind.every_context, entropies, g.orders);
  };
  if (const auto* narrow = counts.window_table<std::uint64_t>()) {
    gather_from(narrow);
  } else {
    gather_from(counts.window_table<unsigned __int128>());
  }
  return g;
}

ShareSurvey ShareBuilder::survey(Gathered& g, const BuildSettings& settings) {
  const ModelKind& kind = settings.model_kind();
  ShareSurvey survey;
  survey.k = g.k;
  survey.positions = g.positions;
  for (int j = g.bucket; j <= g.k; ++j) {
    const GatheredOrder& order = g.orders[j];
    kind.count(order, survey.statistics[j]);
    std::unordered_map<std::uint64_t, std::array<std::uint64_t, 2>> by_count;
    for (std::size_t c = 0; c < order.keys.size(); ++c) {
      if (order.totals[c] < settings.min_count) continue;
      auto& entry = by_count[order.totals[c]];
      ++entry[0];
      entry[1] += order.ends[c] - order.begin(c);
    }
    for (const auto& [count, entry] : by_count) {
      survey.counts[j].push_back({count, entry[0], entry[1]});
    }
    std::sort(survey.counts[j].begin(), survey.counts[j].end());
  }
  if (g.low != nullptr) {
    g.low->for_each_in_order([&](std::uint64_t key, std::uint64_t value) {
      survey.low_keys.push_back(key);
      survey.low_values.push_back(value);
    });
    g.low.reset();
  }
  return survey;
}

ShareSurvey survey_share(const ContextCounts& counts, int index, int bits,
                         const BuildSettings& settings) {
  ShareBuilder::Gathered g = ShareBuilder::gather(counts, index, bits, settings,
                                                  share_key_bytes(counts.k()), false);
  return ShareBuilder::survey(g, settings);
}

CutCandidates ShareBuilder::candidates(const Gathered& g, const BuildPlan& plan) {
  const BuildPlan::Cut& cut = plan.cut();
  const GatheredOrder& order = g.orders.at(static_cast<std::size_t>(cut.length));
  std::vector<std::uint64_t> keys, pairs_through;
  std::uint64_t pairs = 0;
  for (std::size_t c = 0; c < order.keys.size(); ++c) {
    if (order.totals[c] != cut.count) continue;
    keys.push_back(order.keys[c]);
    pairs += order.ends[c] - order.begin(c);
    pairs_through.push_back(pairs);
  }
  return CutCandidates(std::move(keys), std::move(pairs_through));
}

CutCandidates cut_candidates(const ContextCounts& counts, int index, int bits,
                             const BuildPlan& plan) {
  if (!plan.needs_cut_key()) throw std::invalid_argument("the plan needs no cut key");
  const ShareBuilder::Gathered g =
      ShareBuilder::gather(counts, index, bits, plan.settings(), plan.cut().length, false);
  return ShareBuilder::candidates(g, plan);
}

CutCandidates::CutCandidates(std::vector<std::uint64_t> keys,
                             std::vector<std::uint64_t> pairs_through)
    : keys_(std::move(keys)), pairs_through_(std::move(pairs_through)) {
  if (keys_.size() != pairs_through_.size() || !std::is_sorted(keys_.begin(), keys_.end())) {
    throw std::invalid_argument("cut candidates are sorted keys, each with its bytes");
  }
}

void CutCandidates::at_most(const std::uint64_t* points, std::size_t n, std::uint64_t* contexts,
                            std::uint64_t* pairs) const {
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t through = static_cast<std::size_t>(
        std::upper_bound(keys_.begin(), keys_.end(), points[i]) - keys_.begin());
    contexts[i] = through;
    pairs[i] = through == 0 ? 0 : pairs_through_[through - 1];
  }
}

std::string CutCandidates::serialize() const {
  internal::SerialWriter out;
  out.put(keys_);
  out.put(pairs_through_);
  return out.take();
}

CutCandidates CutCandidates::deserialize(const std::uint8_t* data, std::size_t size) {
  internal::SerialReader in(data, size);
  std::vector<std::uint64_t> keys = in.get_vector<std::uint64_t>();
  std::vector<std::uint64_t> pairs = in.get_vector<std::uint64_t>();
  in.finish();
  return CutCandidates(std::move(keys), std::move(pairs));
}

std::string ShareSurvey::serialize() const {
  internal::SerialWriter out;
  out.put<std::int32_t>(k);
  out.put<std::uint64_t>(positions);
  for (const auto& statistics : this->statistics) {
    for (const std::uint64_t n : statistics) out.put(n);
  }
  out.put(low_keys);
  out.put(low_values);
  for (const auto& length : counts) out.put(length);
  return out.take();
}

ShareSurvey ShareSurvey::deserialize(const std::uint8_t* data, std::size_t size) {
  internal::SerialReader in(data, size);
  ShareSurvey survey;
  survey.k = in.get<std::int32_t>();
  if (survey.k < 0 || survey.k > kMaxOrder) throw std::invalid_argument("a survey of no k");
  survey.positions = in.get<std::uint64_t>();
  for (auto& statistics : survey.statistics) {
    for (std::uint64_t& n : statistics) n = in.get<std::uint64_t>();
  }
  survey.low_keys = in.get_vector<std::uint64_t>();
  survey.low_values = in.get_vector<std::uint64_t>();
  for (auto& length : survey.counts) length = in.get_vector<std::array<std::uint64_t, 3>>();
  in.finish();
  if (survey.low_keys.size() != survey.low_values.size()) {
    throw std::invalid_argument("a survey's windows do not match");
  }
  return survey;
}

namespace internal {

void put_model_order(SerialWriter& out, const ModelOrder& order) {
  std::vector<std::uint64_t> keys(order.contexts.size());
  std::vector<float> entropies(order.contexts.size());
  for (std::size_t c = 0; c < keys.size(); ++c) {
    keys[c] = order.contexts[c].key;
    entropies[c] = order.contexts[c].entropy;
  }
  out.put(keys);
  out.put(entropies);
  out.put(order.weights);
  out.put(order.pair_ends);
  out.put(order.pair_bytes);
  out.put(order.pair_probabilities);
}

ModelOrder get_model_order(SerialReader& in) {
  const std::vector<std::uint64_t> keys = in.get_vector<std::uint64_t>();
  const std::vector<float> entropies = in.get_vector<float>();
  ModelOrder order;
  order.weights = in.get_vector<float>();
  order.pair_ends = in.get_vector<std::uint64_t>();
  order.pair_bytes = in.get_vector<std::uint8_t>();
  order.pair_probabilities = in.get_vector<float>();
  if (keys.size() != entropies.size()) throw std::invalid_argument("an order's contexts do not match");
  order.contexts.resize(keys.size());
  for (std::size_t c = 0; c < keys.size(); ++c) order.contexts[c] = {keys[c], entropies[c]};
  return order;
}

void put_gathered_order(SerialWriter& out, const GatheredOrder& order) {
  out.put<std::int32_t>(order.length);
  out.put(order.keys);
  out.put(order.totals);
  out.put(order.entropies);
  out.put(order.ends);
  out.put(order.bytes);
  out.put(order.counts);
  out.put(order.continuations);
}

GatheredOrder get_gathered_order(SerialReader& in) {
  GatheredOrder order;
  order.length = in.get<std::int32_t>();
  order.keys = in.get_vector<std::uint64_t>();
  order.totals = in.get_vector<std::uint64_t>();
  order.entropies = in.get_vector<float>();
  order.ends = in.get_vector<std::uint64_t>();
  order.bytes = in.get_vector<std::uint8_t>();
  order.counts = in.get_vector<std::uint64_t>();
  order.continuations = in.get_vector<std::uint64_t>();
  return order;
}

void put_made_order(SerialWriter& out, const MadeOrder& order) {
  out.put(order.probabilities);
  out.put(order.entropies);
}

MadeOrder get_made_order(SerialReader& in) {
  MadeOrder order;
  order.probabilities = in.get_vector<double>();
  order.entropies = in.get_vector<double>();
  return order;
}

ModelOrder order_with(const ModelOrder& order, const std::vector<bool>& keep) {
  ModelOrder kept;
  for (std::size_t c = 0; c < order.contexts.size(); ++c) {
    if (keep[c]) append_context(kept, order, c);
  }
  return kept;
}

}  // namespace internal
}  // namespace qelt
