// Counts merged in any order and by any path (tables, runs side by side, runs merged
// into one, encodings in between) are the counts of counting everything at once.

#include "context_counts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "context_model.h"

namespace qelt {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> random_documents(std::size_t count, std::size_t size, int alphabet,
                                    unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> documents(count);
  for (Bytes& d : documents) {
    d.resize(size == 0 ? 0 : rng() % (2 * size));
    for (auto& b : d) b = static_cast<std::uint8_t>(rng() % alphabet);
  }
  return documents;
}

ContextCounts counted(int k, const std::vector<Bytes>& documents, std::size_t begin,
                      std::size_t end) {
  ContextCounts counts(k);
  for (std::size_t i = begin; i < end; ++i) counts.add(documents[i].data(), documents[i].size());
  return counts;
}

ContextCounts round_trip(const ContextCounts& counts) {
  const std::string encoded = counts.serialize();
  return ContextCounts::deserialize(reinterpret_cast<const std::uint8_t*>(encoded.data()),
                                    encoded.size());
}

// Merges `parts` by a random tree of fan-in 2 to 9, every merge into a new object, some
// parts passing through their encoding first.
ContextCounts random_tree(int k, std::vector<ContextCounts> parts, std::mt19937& rng) {
  while (parts.size() > 1) {
    std::shuffle(parts.begin(), parts.end(), rng);
    std::vector<ContextCounts> next;
    for (std::size_t i = 0; i < parts.size();) {
      const std::size_t fan_in = std::min<std::size_t>(parts.size() - i, 2 + rng() % 8);
      ContextCounts merged(k);
      if (rng() % 2) {
        std::vector<const ContextCounts*> group;
        for (std::size_t j = i; j < i + fan_in; ++j) group.push_back(&parts[j]);
        merged.merge(group.data(), group.size());
      } else {
        for (std::size_t j = i; j < i + fan_in; ++j) merged.merge(parts[j]);
      }
      next.push_back(rng() % 4 == 0 ? round_trip(merged) : std::move(merged));
      i += fan_in;
    }
    parts = std::move(next);
  }
  return std::move(parts.front());
}

struct Corpus {
  int k;
  std::size_t documents, size;
  int alphabet;
};

// Named in test output by its fields: without this, GoogleTest prints the struct's
// raw bytes, padding included, which memcheck rightly reports as uninitialised.
void PrintTo(const Corpus& c, std::ostream* os) {
  *os << "k=" << c.k << " documents=" << c.documents << " size=" << c.size
      << " alphabet=" << c.alphabet;
}

class MergeTest : public ::testing::TestWithParam<Corpus> {};

// Small tables, tables large enough to become runs, runs side by side and merged.
INSTANTIATE_TEST_SUITE_P(Corpora, MergeTest,
                         ::testing::Values(Corpus{3, 40, 300, 7}, Corpus{3, 24, 60000, 256},
                                           Corpus{0, 10, 5000, 256}, Corpus{8, 30, 40000, 256},
                                           Corpus{5, 60, 2000, 3}));

TEST_P(MergeTest, AnyTreeGivesTheCountsOfOneGo) {
  const Corpus c = GetParam();
  const auto documents = random_documents(c.documents, c.size, c.alphabet, 7);
  const ContextCounts whole = counted(c.k, documents, 0, documents.size());
  const std::string expected = whole.serialize();
  std::mt19937 rng(11);
  for (int trial = 0; trial < 3; ++trial) {
    std::vector<ContextCounts> parts;
    for (std::size_t begin = 0; begin < documents.size();) {
      const std::size_t end = std::min(documents.size(), begin + 1 + rng() % 5);
      parts.push_back(counted(c.k, documents, begin, end));
      begin = end;
    }
    const ContextCounts merged = random_tree(c.k, std::move(parts), rng);
    EXPECT_EQ(merged.positions(), whole.positions());
    EXPECT_EQ(merged.serialize(), expected) << "trial " << trial;
  }
  // Small into large, large into small, and counting on after merging.
  ContextCounts large = counted(c.k, documents, 1, documents.size());
  ContextCounts small = counted(c.k, documents, 0, 1);
  ContextCounts small_first = counted(c.k, documents, 0, 1);
  large.merge(small);
  small_first.merge(counted(c.k, documents, 1, documents.size()));
  EXPECT_EQ(large.serialize(), expected);
  EXPECT_EQ(small_first.serialize(), expected);
  ContextCounts grown = round_trip(counted(c.k, documents, 0, documents.size() / 2));
  for (std::size_t i = documents.size() / 2; i < documents.size(); ++i) {
    grown.add(documents[i].data(), documents[i].size());
  }
  EXPECT_EQ(grown.serialize(), expected);
}

// A table kept within a bound (sealed into runs again and again, the runs merged when
// they grow many), merged into and encoded in shares, holds the counts of one go; the
// shares, decoded and merged, are those counts, and the counts taken are left empty.
TEST_P(MergeTest, ABoundedTableAndItsEncodedSharesGiveTheCountsOfOneGo) {
  const Corpus c = GetParam();
  const auto documents = random_documents(c.documents, c.size, c.alphabet, 13);
  const ContextCounts whole = counted(c.k, documents, 0, documents.size());
  const std::string expected = whole.serialize();
  for (const std::uint64_t table_bytes : {1u << 12, 1u << 16}) {
    ContextCounts bounded(c.k);
    bounded.bound_table(table_bytes);
    const std::size_t half = documents.size() / 2;
    for (std::size_t i = 0; i < half; ++i) bounded.add(documents[i].data(), documents[i].size());
    bounded.merge(counted(c.k, documents, half, half + 1));
    for (std::size_t i = half + 1; i < documents.size(); ++i) {
      bounded.add(documents[i].data(), documents[i].size());
    }
    EXPECT_EQ(bounded.serialize(), expected) << "table_bytes " << table_bytes;
    for (const int bits : {0, 10}) {
      ContextCounts taken = round_trip(bounded);
      taken.bound_table(table_bytes);
      const ContextCounts::EncodedShares shares = taken.take_encoded_shares(bits);
      EXPECT_EQ(taken.windows(), 0u);
      EXPECT_EQ(taken.positions(), 0u);
      ASSERT_EQ(shares.ends.size(), std::size_t{1} << bits);
      ContextCounts merged(c.k);
      std::uint64_t begin = 0, windows = 0;
      for (std::size_t s = 0; s < shares.ends.size(); ++s) {
        const ContextCounts share =
            ContextCounts::deserialize(shares.bytes.data() + begin, shares.ends[s] - begin);
        EXPECT_EQ(share.windows(), shares.windows[s]);
        windows += share.windows();
        merged.merge(share);
        begin = shares.ends[s];
      }
      EXPECT_EQ(begin, shares.bytes.size());
      EXPECT_EQ(windows, whole.windows());  // exact, where the bounded store's is a bound
      EXPECT_EQ(merged.serialize(), expected) << "bits " << bits;
      // Counting goes on in the emptied counts, within the bound.
      taken.add(documents[0].data(), documents[0].size());
      EXPECT_EQ(taken.serialize(), counted(c.k, documents, 0, 1).serialize());
    }
  }
}

// More runs than a merge scans side by side (32: beyond, it keeps them in a heap), all
// merged into one at once, and the tables of several stores sorted together.
TEST(ManyRunsTest, MergedAtOnceGiveTheCountsOfOneGo) {
  const auto documents = random_documents(70, 1500, 256, 5);
  const std::string expected = counted(3, documents, 0, documents.size()).serialize();
  std::vector<ContextCounts> runs, tables;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    runs.push_back(round_trip(counted(3, documents, i, i + 1)));  // a run each
    tables.push_back(counted(3, documents, i, i + 1));
  }
  for (auto* parts : {&runs, &tables}) {
    std::vector<const ContextCounts*> group;
    for (const ContextCounts& part : *parts) group.push_back(&part);
    ContextCounts merged(3);
    merged.merge(group.data(), group.size());
    EXPECT_EQ(merged.serialize(), expected);
  }
}

TEST_P(MergeTest, MergingWithItselfDoublesEveryCount) {
  const Corpus c = GetParam();
  const auto documents = random_documents(c.documents, c.size, c.alphabet, 3);
  ContextCounts twice = counted(c.k, documents, 0, documents.size());
  ContextCounts expected = counted(c.k, documents, 0, documents.size());
  expected.merge(counted(c.k, documents, 0, documents.size()));
  twice.merge(twice);
  EXPECT_EQ(twice.serialize(), expected.serialize());
  // Merging with itself among others: as merging each in turn.
  ContextCounts a = counted(c.k, documents, 0, 2), b = counted(c.k, documents, 2, 4);
  ContextCounts in_turn = counted(c.k, documents, 0, 2);
  in_turn.merge(b);
  in_turn.merge(in_turn);
  in_turn.merge(b);
  const ContextCounts* group[] = {&b, &a, &b};
  a.merge(group, 3);
  EXPECT_EQ(a.serialize(), in_turn.serialize());
}

// A budget keeps the model within it, drops the rarest contexts first (the longer
// first among equal counts), gives the same file for the same counts, and keeps a
// subset of the contexts of the model without a budget.
TEST(ModelBudgetTest, FitsTheBudgetAndKeepsTheMostFrequentContexts) {
  const auto documents = random_documents(30, 3000, 5, 5);
  const ContextCounts counts = counted(3, documents, 0, documents.size());
  const ContextModel full = counts.to_model(1);
  std::size_t previous_contexts = full.size() + 1;
  for (std::uint64_t budget = full.image_size() + 100; budget >= 100; budget = budget * 2 / 3) {
    ContextModel model = full;
    try {
      model = counts.to_model(1, budget);
    } catch (const std::invalid_argument&) {
      EXPECT_LT(budget, counts.smallest_model_bytes(1));
      break;
    }
    EXPECT_LE(model.image_size(), budget);
    EXPECT_LE(model.size(), previous_contexts);
    previous_contexts = model.size();
    EXPECT_EQ(model.contexts_of_length(0), 1u);
    const ContextModel again = counts.to_model(1, budget);
    EXPECT_TRUE(std::equal(model.image(), model.image() + model.image_size(), again.image(),
                           again.image() + again.image_size()));
    for (int j = 0; j <= 3; ++j) EXPECT_LE(model.contexts_of_length(j), full.contexts_of_length(j));
  }
  EXPECT_THROW(counts.to_model(1, counts.smallest_model_bytes(1) - 1), std::invalid_argument);
  EXPECT_NO_THROW(counts.to_model(1, counts.smallest_model_bytes(1)));
}

}  // namespace
}  // namespace qelt
