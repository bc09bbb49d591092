#include "adaptive_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "context_counts.h"
#include "model_scoring.h"
#include "util/fast_log.h"
#include "tests/random_bytes.h"

namespace qelt {
namespace {

ContextModel smoothed_model(int k) {
  ContextCounts counts(k);
  const std::vector<std::uint8_t> corpus = random_bytes(5000, 6, 1);
  counts.add(corpus.data(), corpus.size());
  return counts.to_model(1, 0, *find_model_kind("kneser-ney"));
}

std::vector<float> entropies(AdaptiveModel& model, const std::vector<std::uint8_t>& document) {
  model.start(document.size());
  std::vector<float> found;
  for (std::uint8_t b : document) {
    found.push_back(model.entropy());
    model.push(b);
  }
  return found;
}

TEST(FastLog, WithinRoundingOfTheLibrarysEverywhere) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> exponent(-1000, 1000), mantissa(1.0, 2.0);
  for (int i = 0; i < 200000; ++i) {
    const double x = std::ldexp(mantissa(rng), static_cast<int>(exponent(rng)));
    const double expected = std::log(x);
    EXPECT_NEAR(internal::fast_log(x), expected, 1e-14 * std::max(1.0, std::fabs(expected)))
        << x;
  }
  for (double x : {1.0, 1.0 + 1e-12, 1.0 - 1e-12, 2.0, 0.5}) {
    EXPECT_NEAR(internal::fast_log(x), std::log(x), 1e-14);
  }
  for (double x : {1e-310, 0.0, static_cast<double>(INFINITY)}) EXPECT_EQ(internal::fast_log(x), std::log(x));
}

// The instance is reused across documents: whatever came before (a large document whose
// tables were grown, then a small one), a document reads as it does on a fresh instance.
TEST(AdaptiveModel, EachDocumentReadsAsOnAFreshInstance) {
  const ContextModel model = smoothed_model(3);
  const std::vector<std::uint8_t> large = random_bytes(200000, 5, 2);
  const std::vector<std::uint8_t> small = random_bytes(300, 5, 3);
  AdaptiveModel fresh(model);
  const std::vector<float> expected = entropies(fresh, small);
  AdaptiveModel reused(model);
  entropies(reused, large);
  EXPECT_EQ(entropies(reused, small), expected);
  reused.start();  // length unknown: the tables grow as it goes
  std::vector<float> grown;
  for (std::uint8_t b : small) {
    grown.push_back(reused.entropy());
    reused.push(b);
  }
  EXPECT_EQ(grown, expected);
}

// A document read whole (its memory prefetched, the model's lookups asked for ahead,
// room made for it once) reads as one read a byte at a time with no length given (its
// table grown from the smallest), at every k, where the model keeps the contexts at
// some lengths only and most of the document's contexts are new; so, position by
// position, probabilities too, do the documents the same instance reads after it
// (short ones, and many within the least budget, whose statistics start afresh).
TEST(AdaptiveModel, ReadingWholeEqualsReadingByteByByte) {
  constexpr std::uint64_t kBudget = Reading::kLeastMemory;
  const std::vector<std::uint8_t> corpus = random_bytes(20000, 12, 5);
  std::vector<std::vector<std::uint8_t>> documents = {random_bytes(60000, 16, 6)};
  for (unsigned length = 3; length < 40; length += 3) {
    documents.push_back(random_bytes(length, 3, 7 + length % 2));
  }
  for (unsigned seed = 100; seed < 400; ++seed) documents.push_back(random_bytes(300, 4, seed));
  documents.push_back(documents[0]);
  for (int k = 1; k <= 6; ++k) {
    ContextCounts counts(k);
    counts.add(corpus.data(), corpus.size());
    const ContextModel model = counts.to_model(2, 0, *find_model_kind("kneser-ney"));
    std::vector<float> whole(documents[0].size());
    score(model, documents[0].data(), documents[0].size(), whole.data(), nullptr,
          Reading{ReadingMode::kAdaptive, kBudget});
    AdaptiveModel reading(model, kBudget);
    for (std::size_t d = 0; d < documents.size(); ++d) {
      const std::vector<std::uint8_t>& document = documents[d];
      AdaptiveModel adaptive(model, kBudget);
      adaptive.start();
      reading.start(document.size());
      std::vector<float> by_byte;
      for (std::size_t i = 0; i < document.size(); ++i) {
        by_byte.push_back(adaptive.entropy());
        reading.prefetch(document.data(), i, document.size());
        ASSERT_EQ(reading.entropy(), by_byte.back()) << "k = " << k << ", document " << d;
        ASSERT_EQ(reading.probability(document[i]), adaptive.probability(document[i]))
            << "k = " << k << ", document " << d << ", position " << i;
        adaptive.push(document[i]);
        reading.push(document[i]);
      }
      if (d == 0) EXPECT_EQ(whole, by_byte) << "k = " << k;
    }
  }
}

// A document that repeats itself is learnt: its second copy is predicted far better
// than the model alone predicts it, and the first k bytes are the model's own.
TEST(AdaptiveModel, ARepeatedDocumentIsLearnt) {
  const ContextModel model = smoothed_model(4);
  const std::vector<std::uint8_t> half = random_bytes(2000, 200, 4);  // unlike the corpus
  std::vector<std::uint8_t> twice = half;
  twice.insert(twice.end(), half.begin(), half.end());
  AdaptiveModel adaptive(model);
  adaptive.start(twice.size());
  double first = 0, second = 0, alone = 0;
  for (std::size_t i = 0; i < twice.size(); ++i) {
    const double p = adaptive.probability(twice[i]);
    EXPECT_GT(p, 0.0);
    (i < half.size() ? first : second) += -std::log2(p);
    adaptive.push(twice[i]);
  }
  std::vector<float> entropy(twice.size());
  std::vector<double> log2_p(twice.size());
  score(model, twice.data(), twice.size(), entropy.data(), log2_p.data());
  for (std::size_t i = half.size(); i < twice.size(); ++i) alone -= log2_p[i];
  EXPECT_LT(second, alone / 4);
  EXPECT_LT(second, first / 4);
}

}  // namespace
}  // namespace qelt
