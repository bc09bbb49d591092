// What the document has shown after the context is read off its entry: the followers,
// their counts, and how many there are. The entropy of the mixture then needs only the
// model's probabilities of those few followers and the model's stored entropy: the
// bytes the document has not shown keep the model's shape, scaled by
// w = 2u / (N + 2u), and
//
//     -sum over unshown b of w p(b) ln(w p(b))
//         = -w ln w (1 - sum over shown p) + w (H - sum over shown of -p ln p)
//
// with H the model's entropy after the context. The model's probability of a follower
// is the same at every occurrence of its context, so it is looked up once and kept
// with the follower. And with a = n(b) + 2u p(b), the sum of q ln q over the shown
// followers is (sum of a ln a - A ln(N + 2u)) / (N + 2u), A being the sum of a: each
// context keeps the sum of a ln a, of p and of p ln p over its followers, brought up
// to date by one term when a follower's count rises, and summed afresh only when it
// gains a follower (which changes u, and so every a). The model's longest kept suffix
// of a context is found once, at its first position, and kept with it: a position
// whose context the document has shown costs one lookup, of the document's context,
// and a walk down its list of followers to the byte read, whatever the length of the
// document.
//
// Only the whole k bytes count: mixing in what followed shorter contexts, where the
// document has not shown the whole, measured worse on held-out text than leaving the
// model's distribution alone there (the shorter the context, the more the document's
// counts pull the model's sharper estimate towards its own low-order statistics).

#include "adaptive_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "scoring/document_followers.h"
#include "util/fast_log.h"
#include "util/window_key.h"

namespace qelt {

using internal::DocumentFollowers;
using internal::fast_log;

namespace {

// ln(2u) for each number u of distinct followers a context can have.
const std::array<double, 257> kLogTrust = [] {
  std::array<double, 257> table{};
  for (int u = 1; u <= 256; ++u) table[u] = std::log(AdaptiveModel::kModelWeight * u);
  return table;
}();

// fast_log of each whole number below 2^12: the total N + 2u of a context is one, and
// nearly always a small one.
constexpr std::size_t kTabledLogs = 4096;
const std::array<double, kTabledLogs> kLogWhole = [] {
  std::array<double, kTabledLogs> table{};
  for (std::size_t n = 1; n < kTabledLogs; ++n) table[n] = fast_log(static_cast<double>(n));
  return table;
}();

}  // namespace

AdaptiveModel::AdaptiveModel(ContextModel model, std::uint64_t memory_budget)
    : model_(std::move(model)) {
  check_reading(model_, {ReadingMode::kAdaptive, memory_budget});
  followers_ = std::make_unique<DocumentFollowers>(memory_budget);
  start();
}

void AdaptiveModel::reserve(std::uint64_t bytes) {
  followers_->reserve(bytes);
  // Its table may have moved: the position's context is found again where it is now.
  if (shown_ != nullptr) shown_ = followers_->find(key_);
}

std::uint64_t AdaptiveModel::restarts() const { return followers_->restarts(); }

AdaptiveModel::~AdaptiveModel() = default;
AdaptiveModel::AdaptiveModel(AdaptiveModel&&) noexcept = default;
AdaptiveModel& AdaptiveModel::operator=(AdaptiveModel&&) noexcept = default;

void AdaptiveModel::start(std::size_t expected_size) {
  // Room for contexts at an eighth of the positions: in Python source, contexts of 3
  // and 4 bytes are new at 13% and 22% of them. Growing past that costs less than
  // clearing a larger table for every document.
  followers_->clear(expected_size / 8);
  position_ = 0;
  key_ = 0;
  prepare();
}

void AdaptiveModel::prefetch(const std::uint8_t* data, std::size_t i, std::size_t n) {
  // The document's slot first; some positions on, from what it holds, either the
  // lookup of the model's longest kept suffix (for a context the document has not
  // shown), narrowed a few positions later, or the list of its kept suffix (for one
  // that has gained a follower since it was last summed).
  constexpr std::size_t kFar = 16, kNear = 8, kNarrow = 4;
  static_assert(kNear < kLookups, "a lookup is read before its entry is taken again");
  const std::size_t k = static_cast<std::size_t>(model_.k());
  if (k == 0) return;  // one context, always at hand
  if (i + kFar < n && i + kFar >= k) {
    const std::uint64_t far = internal::window_key_fast(data + i + kFar - k, data + n, k);
    followers_->prefetch(far);
  }
  if (i + kNear < n && i + kNear >= k) {
    const std::uint64_t near = internal::window_key_fast(data + i + kNear - k, data + n, k);
    const DocumentFollowers::Context* context = followers_->find(near);
    if (context == nullptr) {
      Lookup& lookup = lookups_[(position_ + kNear) % kLookups];
      lookup.position = position_ + kNear;
      lookup.key = near;
      model_.ask_suffix(lookup.suffix, near, k);
    } else if (!context->summed) {
      model_.prefetch_listed(context->suffix_length, context->suffix_slot);
    }
  }
  Lookup& narrowed = lookups_[(position_ + kNarrow) % kLookups];
  if (narrowed.position == position_ + kNarrow) model_.narrow_suffix(narrowed.suffix);
}

// Made as soon as the position is reached, whatever is asked of it later, so that
// what is kept (probabilities, sums) changes with the bytes read alone.
void AdaptiveModel::prepare() {
  const std::uint64_t k = static_cast<std::uint64_t>(model_.k());
  shown_ = position_ >= k ? followers_->find(key_) : nullptr;
  has_entropy_ = false;
  if (shown_ == nullptr) {
    // Asked for by prefetch() a few positions ago, or looked up now. A lookup left
    // from another document that has this position and key gives the same answer.
    const Lookup& asked = lookups_[position_ % kLookups];
    if (position_ >= k && asked.position == position_ && asked.key == key_) {
      model_.find_suffix(asked.suffix, suffix_);
    } else {
      model_.longest_suffix(key_, static_cast<std::size_t>(std::min(position_, k)), suffix_);
    }
    return;
  }
  // The model's suffix of a context is looked up at its first position and kept.
  suffix_.context = key_;
  suffix_.length = shown_->suffix_length;
  suffix_.slot = shown_->suffix_slot;
  suffix_.entropy = shown_->suffix_entropy;
  if (shown_->summed) return;

  // The context gained a follower since it was last summed: the model's probability of
  // each new one, then the sums afresh.
  DocumentFollowers::Context& context = *shown_;
  std::array<std::uint8_t, 256> bytes;
  std::array<DocumentFollowers::Follower*, 256> which;
  std::size_t n = 0;
  followers_->for_each(context, [&](DocumentFollowers::Follower& follower) {
    if (follower.probability < 0.0f) {
      bytes[n] = follower.byte;
      which[n++] = &follower;
    }
  });
  if (n != 0) {
    std::array<double, 256> p;
    model_.probabilities(suffix_, bytes.data(), n, p.data());
    for (std::size_t i = 0; i < n; ++i) {
      DocumentFollowers::Follower& follower = *which[i];
      follower.probability = static_cast<float>(p[i]);
      const double kept = follower.probability;
      follower.p_log_p = kept > 0.0 ? static_cast<float>(kept * fast_log(kept)) : 0.0f;
    }
  }
  const double trust = kModelWeight * context.distinct;
  double a_log_a = 0.0, mass = 0.0, p_log_p = 0.0;
  followers_->for_each(context, [&](const DocumentFollowers::Follower& follower) {
    const double a = follower.count + trust * static_cast<double>(follower.probability);
    a_log_a += a * fast_log(a);
    mass += follower.probability;
    p_log_p += follower.p_log_p;
  });
  context.a_log_a = a_log_a;
  context.mass = static_cast<float>(mass);
  context.p_log_p = static_cast<float>(p_log_p);
  context.summed = true;
}

float AdaptiveModel::entropy() {
  if (has_entropy_) return entropy_;
  const bool floored = model_.kind().floor_probability > 0.0;
  const bool kept = suffix_.length >= 0;
  // Below every kept context a model whose kind has a floor is uniform, and one
  // without gives no byte any probability.
  const double model_entropy = kept ? suffix_.entropy : (floored ? std::log(256.0) : 0.0);
  double h = model_entropy;
  if (shown_ != nullptr) {
    const DocumentFollowers::Context& context = *shown_;
    const double model_mass = kept || floored ? 1.0 : 0.0;
    const double trust = kModelWeight * context.distinct;
    const double total = context.followed + trust;
    const double w = trust / total;
    const double a_total = context.followed + trust * context.mass;
    static_assert(kModelWeight == 2.0, "the total is a whole number");
    const std::uint64_t whole = std::uint64_t{context.followed} + 2u * context.distinct;
    const double log_total = whole < kTabledLogs ? kLogWhole[whole] : fast_log(total);
    const double q_log_q = (context.a_log_a - a_total * log_total) / total;
    const double unshown_mass = std::max(0.0, model_mass - context.mass);
    const double unshown_entropy = std::max(0.0, model_entropy + context.p_log_p);
    h = -q_log_q + w * unshown_entropy;
    if (unshown_mass > 0.0) h -= w * (kLogTrust[context.distinct] - log_total) * unshown_mass;
  }
  entropy_ = static_cast<float>(std::max(0.0, h));
  has_entropy_ = true;
  return entropy_;
}

double AdaptiveModel::probability(std::uint8_t byte) {
  if (shown_ == nullptr) return model_.probability(suffix_, byte);
  const DocumentFollowers::Context& context = *shown_;
  const double trust = kModelWeight * context.distinct;
  const double total = context.followed + trust;
  const DocumentFollowers::Follower* follower = followers_->follower_of(context, byte);
  if (follower == nullptr) return trust * model_.probability(suffix_, byte) / total;
  return (follower->count + trust * static_cast<double>(follower->probability)) / total;
}

void AdaptiveModel::push(std::uint8_t byte) {
  const std::uint64_t k = static_cast<std::uint64_t>(model_.k());
  if (position_ >= k) {
    bool added;
    DocumentFollowers::Context& context = followers_->add(key_, shown_, byte, added);
    DocumentFollowers::Follower& follower = context.last;
    if (context.followed == 0) {  // a context first shown here
      context.suffix_length = static_cast<std::int8_t>(suffix_.length);
      context.suffix_slot = suffix_.slot;
      context.suffix_entropy = suffix_.entropy;
    }
    if (context.summed) {  // so the follower was there, and has its probability
      const double a = follower.count + kModelWeight * context.distinct *
                                            static_cast<double>(follower.probability);
      context.a_log_a += (a + 1.0) * fast_log(a + 1.0) - a * fast_log(a);
    }
    ++follower.count;
    ++context.followed;
  }
  key_ = (key_ << 8 | byte) & internal::window_mask(static_cast<std::size_t>(k));
  ++position_;
  prepare();
}

}  // namespace qelt
