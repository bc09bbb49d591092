// The batched lookups of a frozen model (many positions in flight, tags that rule out
// absent lengths) against the walk that defines them, written out here over the
// model's contents: the longest kept suffix's entropy, and each byte's probability
// from the longest suffix that lists it, times the weights of the kept suffixes above.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "context_model.h"
#include "model_kinds.h"
#include "model_scoring.h"

namespace qelt {
namespace {

struct Kept {
  float entropy;
  float weight;
  std::map<std::uint8_t, float> listed;
};

// Contents with contexts at some lengths only (a length may keep none, the empty
// context included), over a small alphabet from `first` so that documents meet them
// (from 0, a context's key is also that of a context of another length).
struct RandomContents {
  std::vector<std::map<std::uint64_t, Kept>> by_length;
  std::vector<ModelOrder> orders;
};

RandomContents random_contents(int k, bool weighted, int alphabet, std::uint8_t first,
                               std::mt19937_64& rng) {
  RandomContents c;
  std::uniform_real_distribution<float> unit(0.01f, 1.0f);
  for (int j = 0; j <= k; ++j) {
    std::map<std::uint64_t, Kept> kept;
    if (rng() % 4 != 0) {
      const int wanted = 1 + static_cast<int>(rng() % 300);
      for (int t = 0; t < wanted; ++t) {
        std::uint64_t key = 0;
        for (int b = 0; b < j; ++b) key = key << 8 | (first + rng() % alphabet);
        Kept context{unit(rng) * 5.0f, weighted ? unit(rng) : 0.0f, {}};
        for (int b = 0; b < alphabet + 1; ++b) {
          if (rng() % 2 == 0) context.listed[static_cast<std::uint8_t>(first + b)] = unit(rng);
        }
        kept[key] = context;
      }
    }
    ModelOrder order;
    for (const auto& [key, context] : kept) {
      order.contexts.push_back({key, context.entropy});
      if (weighted) order.weights.push_back(context.weight);
      for (const auto& [byte, p] : context.listed) {
        order.pair_bytes.push_back(byte);
        order.pair_probabilities.push_back(p);
      }
      order.pair_ends.push_back(order.pair_bytes.size());
    }
    c.by_length.push_back(std::move(kept));
    c.orders.push_back(std::move(order));
  }
  return c;
}

std::uint64_t key_of(const std::vector<std::uint8_t>& data, std::size_t end, int length) {
  std::uint64_t key = 0;
  for (std::size_t i = end - static_cast<std::size_t>(length); i < end; ++i) key = key << 8 | data[i];
  return key;
}

TEST(ModelLookupTest, BatchedLookupsFollowTheWalkOverTheContents) {
  std::mt19937_64 rng(7);
  ContextModel::Recall recall(64);  // small: contexts take each other's entries
  for (const ModelKind& kind : model_kinds()) {
    const bool weighted = kind.floor_probability > 0;
    for (int k = 0; k <= ContextModel::kMaxOrder; ++k) {
      for (int trial = 0; trial < 3; ++trial) {
        const int alphabet = 2 + static_cast<int>(rng() % 3);
        const std::uint8_t first = trial == 1 ? 0 : 'a';
        const RandomContents c = random_contents(k, weighted, alphabet, first, rng);
        const ContextModel model = ContextModel::build(kind, 1, c.orders);
        const float floor_entropy = weighted ? static_cast<float>(std::log(256.0)) : 0.0f;
        // Long enough to cross every batch and prefetch distance, with a byte now
        // and then that no context lists.
        std::vector<std::uint8_t> data(1 + rng() % (trial == 2 ? 3000 : 700));
        for (auto& b : data) b = rng() % 50 == 0 ? 'z' : static_cast<std::uint8_t>(first + rng() % alphabet);
        const std::size_t n = data.size();
        const bool whole = trial == 2;  // and long enough for several of score()'s blocks
        const std::size_t begin = !whole && rng() % 3 == 0 ? rng() % n : 0;
        const std::size_t end = whole ? n : begin + rng() % (n - begin + 1);
        // Each way three times over: without a recall, with one that starts afresh
        // (it was last given another model), and with what that one remembers.
        std::vector<float> entropies(end - begin), plain(end - begin);
        std::vector<double> probabilities(end - begin);
        for (int pass = 0; pass < 3; ++pass) {
          ContextModel::Recall* with = pass == 0 ? nullptr : &recall;
          std::vector<float> again(end - begin);
          model.score_positions(data.data(), n, begin, end, again.data(), nullptr, with);
          if (pass == 0) plain = again;
          ASSERT_EQ(again, plain) << kind.name << " k=" << k << " pass " << pass;
          if (!model.has_probabilities()) continue;
          std::vector<float> scored(end - begin);
          std::vector<double> p(end - begin);
          model.score_positions(data.data(), n, begin, end, scored.data(), p.data(), with);
          if (pass == 0) {
            entropies = scored;
            probabilities = p;
          }
          ASSERT_EQ(scored, entropies) << kind.name << " k=" << k << " pass " << pass;
          ASSERT_EQ(p, probabilities) << kind.name << " k=" << k << " pass " << pass;
        }
        for (std::size_t i = begin; i < end; ++i) {
          const int used = static_cast<int>(std::min<std::size_t>(i, static_cast<std::size_t>(k)));
          // From the longest kept suffix down until one lists the byte, each kept
          // suffix that does not scaling what the shorter ones give.
          float expected = floor_entropy;
          bool found = false;
          double scale = 1.0, p = -1.0;
          for (int j = used; j >= 0 && p < 0.0; --j) {
            const auto at = c.by_length[j].find(key_of(data, i, j));
            if (at == c.by_length[j].end()) continue;
            if (!found) expected = at->second.entropy;
            found = true;
            const auto listed = at->second.listed.find(data[i]);
            if (listed != at->second.listed.end()) {
              p = scale * double{listed->second};
            } else {
              scale *= double{at->second.weight};
            }
          }
          if (p < 0.0) p = scale * kind.floor_probability;
          ASSERT_EQ(plain[i - begin], expected) << kind.name << " k=" << k << " at " << i;
          if (model.has_probabilities()) {
            ASSERT_EQ(entropies[i - begin], expected) << kind.name << " k=" << k << " at " << i;
            ASSERT_EQ(probabilities[i - begin], p) << kind.name << " k=" << k << " at " << i;
          }
        }
        // Scoring a whole document goes through it in blocks, with one recall for all.
        if (whole && model.has_probabilities()) {
          std::vector<float> whole(n);
          std::vector<double> log2_p(n);
          score(model, data.data(), n, whole.data(), log2_p.data(), Reading{});
          ASSERT_EQ(whole, entropies) << kind.name << " k=" << k;
          for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(log2_p[i], probabilities[i] > 0.0 ? std::log2(probabilities[i]) : -INFINITY);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace qelt
