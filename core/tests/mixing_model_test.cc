#include "mixing_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "context_counts.h"
#include "model_scoring.h"
#include "tests/random_bytes.h"

namespace qelt {
namespace {

// Words drawn from a small vocabulary, with lines that come back: text that a model of
// a few bytes predicts in part and that repeats itself beyond its k.
std::vector<std::uint8_t> wordy_text(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> words;
  for (int w = 0; w < 300; ++w) {
    std::string word;
    for (std::size_t c = 0, length = 2 + rng() % 7; c < length; ++c) word += 'a' + rng() % 26;
    words.push_back(word);
  }
  std::vector<std::string> lines;
  std::vector<std::uint8_t> text;
  while (text.size() < n) {
    std::string line;
    if (!lines.empty() && rng() % 3 == 0) {
      line = lines[rng() % lines.size()];
    } else {
      for (std::size_t w = 0, count = 3 + rng() % 8; w < count; ++w) {
        line += words[std::min(rng() % words.size(), rng() % words.size())] + ' ';
      }
      line.back() = '\n';
      lines.push_back(line);
    }
    text.insert(text.end(), line.begin(), line.end());
  }
  text.resize(n);
  return text;
}

ContextModel smoothed_model(int k, const std::vector<std::uint8_t>& corpus) {
  ContextCounts counts(k);
  counts.add(corpus.data(), corpus.size());
  return counts.to_model(1, 0, *find_model_kind("kneser-ney"));
}

double bits_per_byte(const ContextModel& model, const std::vector<std::uint8_t>& document,
                     ReadingMode mode) {
  const ByteSpan span{document.data(), document.size()};
  const Evaluation evaluation = evaluate(model, &span, 1, Reading{mode, Reading::kDefaultMemory});
  return evaluation.bits / static_cast<double>(evaluation.bytes);
}

// What it gives at a position is one distribution: whole, its entropy the one patching
// compares, and the probabilities evaluation reads are its own. Over text, and where
// the document has shown every byte value after a context (no byte left to the model
// alone).
class MixingDistribution : public ::testing::TestWithParam<int> {};

TEST_P(MixingDistribution, GivesTheEntropyAndTheProbabilities) {
  const ContextModel model = smoothed_model(3, wordy_text(30000, 1));
  std::vector<std::uint8_t> document = wordy_text(3000, 2);
  if (GetParam() == 1) {
    document.clear();
    for (int round = 0; round < 3; ++round) {
      for (int b = 0; b < 256; ++b) document.insert(document.end(), {0, static_cast<std::uint8_t>(b)});
    }
  }
  MixingModel mixing(model);
  mixing.start(document.size());
  std::vector<double> p(256);
  double bits = 0;
  for (std::uint8_t byte : document) {
    mixing.distribution(p.data());
    double total = 0, entropy = 0;
    for (double q : p) {
      ASSERT_GT(q, 0.0);
      total += q;
      entropy -= q * std::log(q);
    }
    ASSERT_NEAR(total, 1.0, 2e-6);  // 256 values summed in float
    ASSERT_NEAR(mixing.entropy(), entropy, 1e-5 * std::max(1.0, entropy));
    ASSERT_EQ(mixing.probability(byte), p[byte]);
    bits -= std::log2(p[byte]);
    mixing.push(byte);
  }
  EXPECT_NEAR(bits / document.size(), bits_per_byte(model, document, ReadingMode::kMix), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Documents, MixingDistribution, ::testing::Values(0, 1));

// Reading a document whole (with the room made at once and positions ahead fetched) and
// byte by byte on a fresh reader give the same values, bit for bit; so does a reader
// that read other documents before, one that makes room a byte at a time (as a stream
// does), and one whose memory fills and starts afresh (within 16 KiB, whose counts
// are all lists; within 2.5 MiB, whose rows of two bytes' contexts fill first).
TEST(MixingModel, ReadingWholeEqualsReadingByteByByte) {
  const std::vector<std::uint8_t> corpus = wordy_text(20000, 3);
  std::vector<std::vector<std::uint8_t>> documents = {random_bytes(30000, 256, 4),
                                                      wordy_text(12000, 5)};
  for (unsigned length = 1; length < 40; length += 7) {
    documents.push_back(random_bytes(length, 3, length));
  }
  documents.push_back(documents[1]);
  for (const std::uint64_t memory :
       {Reading::kLeastMemory * 4, std::uint64_t{5} << 19, Reading::kDefaultMemory}) {
    for (int k : {0, 1, 5}) {
      const ContextModel model = smoothed_model(k, corpus);
      const Reading reading{ReadingMode::kMix, memory};
      MixingModel reused(model, memory);
      for (std::size_t d = 0; d < documents.size(); ++d) {
        const std::vector<std::uint8_t>& document = documents[d];
        std::vector<float> whole(document.size());
        score(model, document.data(), document.size(), whole.data(), nullptr, reading);
        MixingModel fresh(model, memory);
        fresh.start();
        reused.start(document.size());
        for (std::size_t i = 0; i < document.size(); ++i) {
          reused.prefetch(document.data(), i, document.size());
          const float entropy = fresh.entropy();
          ASSERT_EQ(whole[i], entropy) << "k " << k << ", document " << d << ", at " << i;
          ASSERT_EQ(reused.entropy(), entropy) << "k " << k << ", document " << d;
          ASSERT_EQ(reused.probability(document[i]), fresh.probability(document[i]));
          fresh.reserve(1);  // as a stream does, after the position is read
          fresh.push(document[i]);
          reused.push(document[i]);
        }
        if (d == 0) {
          EXPECT_EQ(fresh.restarts() > 0, memory < Reading::kDefaultMemory) << fresh.restarts();
        }
      }
    }
  }
}

// Learnt weights and the document's own orders pay: on text that repeats itself, the
// mixing reading costs well below the adaptive one, which costs below the model alone.
TEST(MixingModel, PredictsARepetitiveDocumentBetterThanTheAdaptiveReading) {
  const ContextModel model = smoothed_model(4, wordy_text(50000, 6));
  const std::vector<std::uint8_t> document = wordy_text(20000, 7);
  const double mix = bits_per_byte(model, document, ReadingMode::kMix);
  const double adaptive = bits_per_byte(model, document, ReadingMode::kAdaptive);
  EXPECT_LT(mix, adaptive - 0.3) << adaptive;
  EXPECT_LT(adaptive, bits_per_byte(model, document, ReadingMode::kStatic));
}

// A budget too small for some of its counts leaves them out rather than starting afresh
// at every byte: within 1 MiB (which holds no row of two bytes' contexts), the lists
// fill every thousand bytes or so, and the document is read better than by the model
// alone.
TEST(MixingModel, ASmallBudgetLeavesOutWhatItCannotHold) {
  const ContextModel model = smoothed_model(3, wordy_text(20000, 9));
  const std::vector<std::uint8_t> document = wordy_text(20000, 10);
  const std::uint64_t memory = std::uint64_t{1} << 20;
  MixingModel mixing(model, memory);
  mixing.start(document.size());
  double bits = 0.0;
  for (const std::uint8_t byte : document) {
    bits -= std::log2(mixing.probability(byte));
    mixing.push(byte);
  }
  EXPECT_LT(mixing.restarts(), document.size() / 500);
  EXPECT_LT(bits / document.size(), bits_per_byte(model, document, ReadingMode::kStatic) - 0.2);
}

TEST(MixingModel, RefusesWhatItCannotRead) {
  const ContextModel model = smoothed_model(2, wordy_text(1000, 8));
  EXPECT_EQ(reading_refusal(model, Reading{ReadingMode::kMix, Reading::kLeastMemory}), "");
  EXPECT_NE(reading_refusal(model, Reading{ReadingMode::kMix, Reading::kLeastMemory - 1}), "");
  EXPECT_THROW(MixingModel(model, Reading::kLeastMemory - 1), std::logic_error);
}

}  // namespace
}  // namespace qelt
