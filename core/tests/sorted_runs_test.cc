// Keys added in runs of any number and shape read back as a map of them would give.

#include "counting/sorted_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <random>
#include <utility>
#include <vector>

namespace qelt {
namespace internal {
namespace {

using Counts = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

Counts read_back(SortedRuns& runs) {
  Counts out;
  runs.for_each_in_order(
      [&](std::uint64_t key, std::uint64_t count) { out.emplace_back(key, count); });
  return out;
}

struct Shape {
  std::size_t runs;       // ascending stretches of keys
  std::size_t per_run;    // keys in each, at most
  std::uint64_t span;     // keys drawn from 0 .. span - 1, or any 64 bits if 0
};

void PrintTo(const Shape& s, std::ostream* os) {
  *os << "runs=" << s.runs << " per_run=" << s.per_run << " span=" << s.span;
}

class SortedRunsTest : public ::testing::TestWithParam<Shape> {};

INSTANTIATE_TEST_SUITE_P(Shapes, SortedRunsTest,
                         ::testing::Values(Shape{1, 1000, 1 << 20}, Shape{2, 500, 50},
                                           Shape{3, 200, 0}, Shape{255, 40, 300},
                                           Shape{256, 40, 0}, Shape{257, 40, 1 << 16},
                                           Shape{600, 5, 2000}));

TEST_P(SortedRunsTest, ReadBackAsAMapOfThemAll) {
  const Shape shape = GetParam();
  std::mt19937_64 rng(shape.runs * 131 + shape.per_run);
  SortedRuns runs(shape.span == 0 ? 0 : 64);  // room too small for some: they must grow
  std::map<std::uint64_t, std::uint64_t> expected;
  for (std::size_t r = 0; r < shape.runs; ++r) {
    std::vector<std::uint64_t> keys(rng() % (shape.per_run + 1));
    for (auto& key : keys) key = shape.span == 0 ? rng() : rng() % shape.span;
    if (shape.span == 0 && r % 2 == 0) keys.push_back(~std::uint64_t{0});  // the largest key
    if (r % 3 == 0) keys.push_back(0);
    std::sort(keys.begin(), keys.end());  // duplicates kept: equal keys in a row
    for (const std::uint64_t key : keys) {
      const std::uint64_t count = 1 + rng() % 5;
      runs.add(key, count);
      expected[key] += count;
    }
  }
  const Counts want(expected.begin(), expected.end());
  EXPECT_GE(runs.size_bound(), want.size());
  EXPECT_EQ(read_back(runs), want);
}

TEST(SortedRunsTest, NothingAddedReadsBackNothing) {
  SortedRuns runs;
  EXPECT_EQ(runs.size_bound(), 0u);
  EXPECT_TRUE(read_back(runs).empty());
}

}  // namespace
}  // namespace internal
}  // namespace qelt
