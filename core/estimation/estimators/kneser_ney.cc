// Interpolated modified Kneser-Ney (Chen and Goodman), built from the shortest contexts
// up: a context's distribution needs that of its suffix one byte shorter, which is
// then already made. Each context's entropy is computed from the bytes it lists alone:
// every other byte has `weight` times its probability after the shorter suffix, so
// their terms sum to weight ln(weight) times the mass those bytes have there, plus
// weight times their share of the shorter suffix's entropy, which is that entropy less
// the terms of the listed bytes.

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "estimation/estimator.h"
#include "util/window_key.h"

namespace qelt {

namespace {

// Below this a discount would leave a context no weight for the bytes it never saw.
constexpr double kLeastDiscount = 0.01;
const double kLn256 = std::log(256.0);

double discount(const std::array<double, 3>& discounts, std::uint64_t count) {
  return discounts[std::min<std::uint64_t>(count, 3) - 1];
}

// The discounts of one length for counts of 1, 2 and 3 or more (docs/formats.md,
// "Model file"), from how many of its bytes have a continuation count of 1, 2, 3 and 4.
std::array<double, 3> kneser_ney_discounts(const ModelKind::Statistics& have) {
  const double n1 = static_cast<double>(have[0]), n2 = static_cast<double>(have[1]),
               n3 = static_cast<double>(have[2]), n4 = static_cast<double>(have[3]);
  // A ratio whose denominator is 0 counts as 0.
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  const double y = ratio(n1, n1 + 2 * n2);
  std::array<double, 3> d = {1 - 2 * y * ratio(n2, n1), 2 - 3 * y * ratio(n3, n2),
                             3 - 4 * y * ratio(n4, n3)};
  for (int r = 0; r < 3; ++r) d[r] = std::clamp(d[r], kLeastDiscount, static_cast<double>(r + 1));
  return d;
}

}  // namespace

void count_kneser_ney(const GatheredOrder& g, ModelKind::Statistics& into) {
  for (const std::uint64_t count : g.continuations) {
    if (count >= 1 && count <= 4) ++into[count - 1];
  }
}

// Each context's distribution interpolates its discounted continuation counts with
// the distribution of its suffix one byte shorter, down to the uniform distribution
// over 256 bytes (every suffix of a gathered context is gathered too), and its entropy
// is that distribution's.
ModelOrder estimate_kneser_ney(const GatheredOrder& g, const ModelKind::Statistics& statistics,
                               const GatheredOrder* below, const MadeOrder* shorter,
                               MadeOrder* made_out) {
  const std::array<double, 3> discounts = kneser_ney_discounts(statistics);
  const std::uint64_t suffix_mask =
      internal::window_mask(static_cast<std::size_t>(g.length > 0 ? g.length - 1 : 0));
  MadeOrder made;
  made.probabilities.resize(g.bytes.size());
  made.entropies.resize(g.keys.size());
  ModelOrder order;
  order.contexts.resize(g.keys.size());
  order.weights.resize(g.keys.size());
  order.pair_ends = g.ends;
  order.pair_bytes = g.bytes;
  order.pair_probabilities.resize(g.bytes.size());
  for (std::size_t c = 0; c < g.keys.size(); ++c) {
    const std::uint64_t first = g.begin(c), end = g.ends[c];
    double total = 0, mass = 0;
    for (std::uint64_t p = first; p < end; ++p) {
      const std::uint64_t count = g.continuations[p];
      total += static_cast<double>(count);
      mass += discount(discounts, count);
    }
    const double weight = mass / total;
    // The shorter suffix's distribution and entropy: the uniform one below length 0.
    std::uint64_t lower_first = 0, lower_end = 0;
    double lower_entropy = kLn256;
    if (below != nullptr) {
      const std::uint64_t suffix = g.keys[c] & suffix_mask;
      const auto at = std::lower_bound(below->keys.begin(), below->keys.end(), suffix);
      if (at == below->keys.end() || *at != suffix) {
        throw std::logic_error("a context's suffix was not gathered");
      }
      const std::size_t s = static_cast<std::size_t>(at - below->keys.begin());
      lower_first = below->begin(s);
      lower_end = below->ends[s];
      lower_entropy = shorter->entropies[s];
    }
    double listed_terms = 0, lower_mass = 0, lower_terms = 0;
    std::uint64_t q = lower_first;
    for (std::uint64_t p = first; p < end; ++p) {
      double lower = 1.0 / 256.0;
      if (below != nullptr) {
        // The context's bytes are among its suffix's, both ascending.
        while (q < lower_end && below->bytes[q] < g.bytes[p]) ++q;
        if (q == lower_end || below->bytes[q] != g.bytes[p]) {
          throw std::logic_error("a context's byte was not gathered after its suffix");
        }
        lower = shorter->probabilities[q];
      }
      const double count = static_cast<double>(g.continuations[p]);
      const double probability =
          (count - discount(discounts, g.continuations[p])) / total + weight * lower;
      made.probabilities[p] = probability;
      order.pair_probabilities[p] = static_cast<float>(probability);
      listed_terms += probability * std::log(probability);
      lower_mass += lower;
      lower_terms += lower * std::log(lower);
    }
    double unlisted_terms = 0;
    const double unlisted_mass = std::max(0.0, 1.0 - lower_mass);
    if (weight > 0 && unlisted_mass > 0) {
      unlisted_terms = weight * std::log(weight) * unlisted_mass +
                       weight * std::min(0.0, -lower_entropy - lower_terms);
    }
    const double entropy = std::clamp(-(listed_terms + unlisted_terms), 0.0, kLn256);
    made.entropies[c] = entropy;
    order.contexts[c] = {g.keys[c], static_cast<float>(entropy)};
    order.weights[c] = static_cast<float>(weight);
  }
  if (made_out != nullptr) *made_out = std::move(made);
  return order;
}

}  // namespace qelt
