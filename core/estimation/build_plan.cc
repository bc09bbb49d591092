// What the whole corpus decides for the shares of a build, from their surveys: the
// statistics of each length added up; the contexts too short to be placed by their
// last bytes (their windows, added up over the shares, are the corpus's) derived and
// estimated here; and which contexts a budget of bytes leaves out.
//
// A budget leaves contexts out in ascending order of count, the longer first among
// equal counts, then in ascending order of key, until the file fits. The surveys give
// how many contexts (and listed bytes) each count and length has, so whole groups of
// one count and length go at once, and only the key within the group where the budget
// falls is left to find: by a search over the shares' candidates of that group
// (CutSearch), which needs only how many of them lie below a few keys at a time.

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>

#include "estimation/budget.h"
#include "estimation/build_parts.h"
#include "model_build.h"

namespace qelt {

BuildPlan::BuildPlan() = default;
BuildPlan::~BuildPlan() = default;
BuildPlan::BuildPlan(BuildPlan&&) noexcept = default;
BuildPlan& BuildPlan::operator=(BuildPlan&&) noexcept = default;

namespace {

std::string below_smallest(std::uint64_t max_bytes, std::uint64_t smallest) {
  return "max_bytes " + std::to_string(max_bytes) +
         " is below the smallest model of these counts, " + std::to_string(smallest) + " bytes";
}

}  // namespace

BuildPlan plan_build(const std::vector<ShareSurvey>& surveys, int k,
                     const BuildSettings& settings) {
  if (k < 0 || k > kMaxOrder) {
    throw std::invalid_argument("k must be between 0 and " + std::to_string(kMaxOrder));
  }
  if (settings.min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  const ModelKind& kind = settings.model_kind();
  BuildPlan plan;
  plan.settings_ = settings;
  plan.settings_.kind = &kind;
  plan.k_ = k;
  const int bucket = share_key_bytes(k);
  // Per length, count -> (contexts, listed bytes).
  std::vector<std::map<std::uint64_t, std::array<std::uint64_t, 2>>> groups(k + 1);
  std::uint64_t positions = 0;
  for (const ShareSurvey& survey : surveys) {
    if (survey.k != k) throw std::invalid_argument("a survey of other counts");
    positions += survey.positions;
    for (int j = bucket; j <= k; ++j) {
      for (int n = 0; n < 4; ++n) plan.statistics_[j][n] += survey.statistics[j][n];
      for (const auto& [count, contexts, pairs] : survey.counts[j]) {
        auto& group = groups[j][count];
        group[0] += contexts;
        group[1] += pairs;
      }
    }
  }
  if (kind.every_context && positions >> (64 - internal::kContinuationBits) != 0) {
    throw std::overflow_error("too many positions to carry continuation counts");
  }
  if (bucket > 0) {
    // The windows of `bucket` bytes, summed over the shares: at most 2^16.
    std::vector<std::uint64_t> windows(std::size_t{1} << (8 * bucket), 0);
    std::uint64_t distinct = 0;
    for (const ShareSurvey& survey : surveys) {
      for (std::size_t i = 0; i < survey.low_keys.size(); ++i) {
        const std::uint64_t key = survey.low_keys[i];
        if (key >= windows.size()) throw std::invalid_argument("a survey's window is too long");
        distinct += windows[key] == 0;
        windows[key] += survey.low_values[i];
      }
    }
    std::vector<GatheredOrder> low(static_cast<std::size_t>(bucket));
    internal::derive_orders<std::uint64_t>(
        bucket - 1, k, 0,
        [&](auto visit) {
          for (std::uint64_t key = 0; key < windows.size(); ++key) {
            if (windows[key] != 0) visit(key, windows[key]);
          }
        },
        std::max<std::uint64_t>(distinct, 1), kind.every_context ? 1 : settings.min_count,
        kind.every_context, true, low);
    std::vector<MadeOrder> made(static_cast<std::size_t>(bucket));
    for (int j = 0; j < bucket; ++j) {
      kind.count(low[j], plan.statistics_[j]);
      plan.low_orders_.push_back(kind.estimate(low[j], plan.statistics_[j],
                                               j > 0 ? &low[j - 1] : nullptr,
                                               j > 0 ? &made[j - 1] : nullptr,
                                               kind.interpolates ? &made[j] : nullptr));
      plan.low_totals_.push_back(low[j].totals);
      for (std::size_t c = 0; c < low[j].keys.size(); ++c) {
        if (low[j].totals[c] < settings.min_count) continue;
        auto& group = groups[j][low[j].totals[c]];
        ++group[0];
        group[1] += low[j].ends[c] - low[j].begin(c);
      }
    }
    plan.low_top_.push_back(std::move(low[bucket - 1]));
    plan.low_top_made_.push_back(std::move(made[bucket - 1]));
  }
  for (int j = 0; j <= k; ++j) {
    for (const auto& [count, group] : groups[j]) {
      plan.kept_contexts_[j] += group[0];
      plan.kept_pairs_[j] += group[1];
    }
  }
  const std::uint64_t max_bytes = settings.max_bytes;
  auto fits = [&] {
    return internal::image_size(k, plan.kept_contexts_, plan.kept_pairs_) <= max_bytes;
  };
  if (max_bytes == 0 || fits()) return plan;
  // The groups of one count and length, in the order they are left out in.
  std::vector<std::tuple<std::uint64_t, int, std::uint64_t, std::uint64_t>> order;
  for (int j = 1; j <= k; ++j) {
    for (const auto& [count, group] : groups[j]) order.emplace_back(count, -j, group[0], group[1]);
  }
  std::sort(order.begin(), order.end());
  for (const auto& [count, minus_length, contexts, pairs] : order) {
    const int j = -minus_length;
    plan.kept_contexts_[j] -= contexts;
    plan.kept_pairs_[j] -= pairs;
    if (!fits()) continue;
    // The budget falls within this group: which of its keys go is found by key.
    plan.kept_contexts_[j] += contexts;
    plan.kept_pairs_[j] += pairs;
    plan.cut_ = {true, count, j, false, 0};
    plan.group_contexts_ = contexts;
    plan.group_pairs_ = pairs;
    if (j >= bucket) {
      plan.needs_key_ = true;
      return plan;
    }
    // A length the plan holds: its keys are here.
    const ModelOrder& low = plan.low_orders_[j];
    const std::vector<std::uint64_t>& totals = plan.low_totals_[j];
    for (std::size_t c = 0; c < low.contexts.size(); ++c) {
      if (totals[c] != count) continue;
      --plan.kept_contexts_[j];
      plan.kept_pairs_[j] -= low.pair_ends[c] - (c == 0 ? 0 : low.pair_ends[c - 1]);
      if (fits()) {
        plan.cut_.through_key = true;
        plan.cut_.key = low.contexts[c].key;
        return plan;
      }
    }
    throw std::logic_error("a budget's cut was not found in its group");
  }
  throw std::invalid_argument(below_smallest(
      max_bytes, internal::image_size(k, plan.kept_contexts_, plan.kept_pairs_)));
}

void BuildPlan::settle_cut(const CutSearch& search) {
  if (!needs_key_) throw std::logic_error("the plan needs no cut key");
  if (!search.done()) throw std::logic_error("the search for the cut key is not done");
  cut_.through_key = true;
  cut_.key = search.key();
  kept_contexts_[cut_.length] -= search.contexts_through();
  kept_pairs_[cut_.length] -= search.pairs_through();
  needs_key_ = false;
}

bool BuildPlan::keeps(int length, std::uint64_t count, std::uint64_t key) const {
  if (count < settings_.min_count) return false;
  if (length == 0 || !cut_.any || count > cut_.count) return true;
  if (count < cut_.count) return false;
  if (length != cut_.length) return length < cut_.length;
  return !(cut_.through_key && key <= cut_.key);
}

std::string BuildPlan::serialize() const {
  internal::SerialWriter out;
  out.put<std::uint32_t>(settings_.model_kind().number);
  out.put<std::uint64_t>(settings_.min_count);
  out.put<std::uint64_t>(settings_.max_bytes);
  out.put<std::int32_t>(k_);
  for (const auto& statistics : statistics_) {
    for (const std::uint64_t n : statistics) out.put(n);
  }
  out.put<std::uint64_t>(low_orders_.size());
  for (std::size_t j = 0; j < low_orders_.size(); ++j) {
    internal::put_model_order(out, low_orders_[j]);
    out.put(low_totals_[j]);
  }
  out.put<std::uint64_t>(low_top_.size());
  for (std::size_t i = 0; i < low_top_.size(); ++i) {
    internal::put_gathered_order(out, low_top_[i]);
    internal::put_made_order(out, low_top_made_[i]);
  }
  out.put<std::uint8_t>(cut_.any);
  out.put<std::uint64_t>(cut_.count);
  out.put<std::int32_t>(cut_.length);
  out.put<std::uint8_t>(cut_.through_key);
  out.put<std::uint64_t>(cut_.key);
  out.put<std::uint8_t>(needs_key_);
  for (int j = 0; j <= kMaxOrder; ++j) {
    out.put(kept_contexts_[j]);
    out.put(kept_pairs_[j]);
  }
  out.put(group_contexts_);
  out.put(group_pairs_);
  return out.take();
}

BuildPlan BuildPlan::deserialize(const std::uint8_t* data, std::size_t size) {
  internal::SerialReader in(data, size);
  BuildPlan plan;
  plan.settings_.kind = model_kind_numbered(in.get<std::uint32_t>());
  if (plan.settings_.kind == nullptr) throw std::invalid_argument("a plan of no kind");
  plan.settings_.min_count = in.get<std::uint64_t>();
  plan.settings_.max_bytes = in.get<std::uint64_t>();
  plan.k_ = in.get<std::int32_t>();
  if (plan.k_ < 0 || plan.k_ > kMaxOrder || plan.settings_.min_count == 0) {
    throw std::invalid_argument("a plan of no model");
  }
  for (auto& statistics : plan.statistics_) {
    for (std::uint64_t& n : statistics) n = in.get<std::uint64_t>();
  }
  const std::uint64_t low = in.get<std::uint64_t>();
  if (low != static_cast<std::uint64_t>(share_key_bytes(plan.k_))) {
    throw std::invalid_argument("a plan's short contexts do not match its k");
  }
  for (std::uint64_t j = 0; j < low; ++j) {
    plan.low_orders_.push_back(internal::get_model_order(in));
    plan.low_totals_.push_back(in.get_vector<std::uint64_t>());
  }
  const std::uint64_t tops = in.get<std::uint64_t>();
  if (tops != (low > 0 ? 1 : 0)) throw std::invalid_argument("a plan's short contexts do not match");
  for (std::uint64_t i = 0; i < tops; ++i) {
    plan.low_top_.push_back(internal::get_gathered_order(in));
    plan.low_top_made_.push_back(internal::get_made_order(in));
  }
  plan.cut_.any = in.get<std::uint8_t>() != 0;
  plan.cut_.count = in.get<std::uint64_t>();
  plan.cut_.length = in.get<std::int32_t>();
  plan.cut_.through_key = in.get<std::uint8_t>() != 0;
  plan.cut_.key = in.get<std::uint64_t>();
  plan.needs_key_ = in.get<std::uint8_t>() != 0;
  for (int j = 0; j <= kMaxOrder; ++j) {
    plan.kept_contexts_[j] = in.get<std::uint64_t>();
    plan.kept_pairs_[j] = in.get<std::uint64_t>();
  }
  plan.group_contexts_ = in.get<std::uint64_t>();
  plan.group_pairs_ = in.get<std::uint64_t>();
  in.finish();
  if (plan.cut_.length < 0 || plan.cut_.length > plan.k_) throw std::invalid_argument("a plan's cut is off its lengths");
  return plan;
}

CutSearch::CutSearch(const BuildPlan& plan) : plan_(&plan) {
  if (!plan.needs_cut_key()) throw std::invalid_argument("the plan needs no cut key");
  const int length = plan.cut().length;
  // Every key of the group is at most this; leaving them all out fits.
  high_ = length >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
  high_contexts_ = plan.group_contexts_;
  high_pairs_ = plan.group_pairs_;
  choose_points();
}

bool CutSearch::fits(std::uint64_t contexts, std::uint64_t pairs) const {
  std::array<std::uint64_t, kMaxOrder + 1> kept_contexts = plan_->kept_contexts_, kept_pairs = plan_->kept_pairs_;
  const int j = plan_->cut().length;
  kept_contexts[j] -= contexts;
  kept_pairs[j] -= pairs;
  return internal::image_size(plan_->k(), kept_contexts, kept_pairs) <= plan_->settings().max_bytes;
}

void CutSearch::choose_points() {
  constexpr std::uint64_t kPoints = 1023;
  points_.clear();
  // The least key that fits lies in (low, high]: found when that holds one key.
  using Wide = unsigned __int128;
  const Wide low = low_open_ ? 0 : Wide{low_} + 1;  // the least key it may be
  const Wide span = Wide{high_} - low;  // the keys besides high to ask about
  if (span == 0) {
    done_ = true;
    return;
  }
  const std::uint64_t n = span < kPoints ? static_cast<std::uint64_t>(span) : kPoints;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t point = static_cast<std::uint64_t>(low + span * i / n);
    if (points_.empty() || point != points_.back()) points_.push_back(point);
  }
}

void CutSearch::answer(const std::vector<std::uint64_t>& contexts,
                       const std::vector<std::uint64_t>& pairs) {
  if (done_ || contexts.size() != points_.size() || pairs.size() != points_.size()) {
    throw std::invalid_argument("an answer for other points");
  }
  for (std::size_t i = 0; i < points_.size(); ++i) {
    if (fits(contexts[i], pairs[i])) {
      high_ = points_[i];
      high_contexts_ = contexts[i];
      high_pairs_ = pairs[i];
      break;
    }
    low_ = points_[i];
    low_open_ = false;
  }
  choose_points();
}

}  // namespace qelt
