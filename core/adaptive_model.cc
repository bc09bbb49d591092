// The document's counts are read off the node of the longest context it has shown:
// its followers, their counts, and how many there are. The entropy of the mixture
// then needs only the model's probabilities of those few followers and the model's
// stored entropy: the bytes the document has not shown keep the model's shape,
// scaled by w = 2u / (N + 2u), and
//
//     -sum over unshown b of w p(b) ln(w p(b))
//         = -w ln w (1 - sum over shown p) + w (H - sum over shown of -p ln p)
//
// with H the model's entropy after the context. So a position costs the lookups of
// the frozen model, k + 1 steps down the document's trie, and a pass over the
// followers of one context, whatever the length of the document.
//
// Once the shown context is the whole k bytes, the model's probability of each of its
// followers is the same at every occurrence: it is kept in the follower's node.

#include "adaptive_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "internal/document_strings.h"
#include "internal/window_key.h"

namespace qelt {

using internal::DocumentStrings;

AdaptiveModel::AdaptiveModel(ContextModel model) : model_(std::move(model)) {
  if (!model_.has_probabilities()) {
    throw std::logic_error("a version 1 model file holds entropies only, no probabilities");
  }
  strings_ = std::make_unique<DocumentStrings>(model_.k());
}

AdaptiveModel::~AdaptiveModel() = default;
AdaptiveModel::AdaptiveModel(AdaptiveModel&&) noexcept = default;
AdaptiveModel& AdaptiveModel::operator=(AdaptiveModel&&) noexcept = default;

void AdaptiveModel::start(std::size_t expected_size) {
  strings_->clear(expected_size);
  key_ = 0;
  shown_bound_ = 0;
  prepared_ = false;
  has_entropy_ = false;
}

std::uint64_t AdaptiveModel::position() const { return strings_->position(); }

void AdaptiveModel::prepare() {
  if (prepared_) return;
  const int full = static_cast<int>(std::min<std::uint64_t>(strings_->position(), model_.k()));
  suffix_ = model_.longest_suffix(key_, static_cast<std::size_t>(full));
  // A context shown here was shown one byte shorter at the position before, so the
  // longest shown context grows by one byte at most from one position to the next.
  int length = std::min(shown_bound_, full);
  while (length > 0 && strings_->node(strings_->ending(length)).followed == 0) --length;
  shown_ = length;
  prepared_ = true;
}

double AdaptiveModel::model_probability(std::uint32_t child, std::uint8_t byte) {
  if (shown_ == model_.k() && child != DocumentStrings::kNone) {
    DocumentStrings::Node& node = strings_->node(child);
    if (node.probability < 0.0f) {
      node.probability = static_cast<float>(model_.probability(suffix_, byte));
    }
    return node.probability;
  }
  return model_.probability(suffix_, byte);
}

float AdaptiveModel::entropy() {
  if (has_entropy_) return entropy_;
  prepare();
  const bool smoothed = model_.smoothing() != Smoothing::kNone;
  const bool kept = suffix_.length >= 0;
  // Below every kept context a smoothed model is uniform, and one without smoothing
  // gives no byte any probability.
  const double model_entropy = kept ? suffix_.entropy : (smoothed ? std::log(256.0) : 0.0);
  const double model_mass = kept || smoothed ? 1.0 : 0.0;
  const std::uint32_t context = strings_->ending(shown_);
  const DocumentStrings::Node& shown = strings_->node(context);
  double h = model_entropy;
  if (shown.followed != 0) {
    const double trust = kModelWeight * shown.distinct;
    const double total = shown.followed + trust;
    const double w = trust / total;
    double shown_mass = 0.0, shown_p_log_p = 0.0, q_log_q = 0.0;
    for (std::uint32_t c = shown.first_child; c != DocumentStrings::kNone;) {
      const DocumentStrings::Node& follower = strings_->node(c);
      const std::uint32_t count = follower.count;
      const std::uint32_t next = follower.next_sibling;
      const double p = model_probability(c, follower.byte);
      const double q = (count + trust * p) / total;
      q_log_q += q * std::log(q);
      if (p > 0.0) {
        shown_mass += p;
        shown_p_log_p += p * std::log(p);
      }
      c = next;
    }
    const double unshown_mass = std::max(0.0, model_mass - shown_mass);
    const double unshown_entropy = std::max(0.0, model_entropy + shown_p_log_p);
    h = -q_log_q + w * unshown_entropy;
    if (unshown_mass > 0.0) h -= w * std::log(w) * unshown_mass;
  }
  entropy_ = static_cast<float>(std::max(0.0, h));
  has_entropy_ = true;
  return entropy_;
}

double AdaptiveModel::probability(std::uint8_t byte) {
  prepare();
  const std::uint32_t context = strings_->ending(shown_);
  const DocumentStrings::Node& shown = strings_->node(context);
  if (shown.followed == 0) return model_.probability(suffix_, byte);
  const double trust = kModelWeight * shown.distinct;
  const double total = shown.followed + trust;
  const std::uint32_t child = strings_->child(context, byte);
  const double count = child == DocumentStrings::kNone ? 0.0 : strings_->node(child).count;
  return (count + trust * model_probability(child, byte)) / total;
}

void AdaptiveModel::push(std::uint8_t byte) {
  strings_->push(byte);
  key_ = (key_ << 8 | byte) & internal::window_mask(static_cast<std::size_t>(model_.k()));
  shown_bound_ = (prepared_ ? shown_ : shown_bound_) + 1;
  prepared_ = false;
  has_entropy_ = false;
}

}  // namespace qelt
