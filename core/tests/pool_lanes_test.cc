#include "scoring/pool_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace qelt {
namespace internal {
namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Pool {
  float sources[kDenseSources][256];
  float weights[kDenseSources];
  const float* source_pointers[kDenseSources];
};

// Sources with values from `spread` below 0 to 0, some equal (ties for the largest) and
// some zero (a dense order without a row), with weights of either sign.
Pool random_pool(unsigned seed, float spread) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-spread, 0.0f), weight(-0.5f, 1.5f);
  Pool pool;
  for (int s = 0; s < kDenseSources; ++s) {
    for (float& v : pool.sources[s]) v = rng() % 7 == 0 ? 0.0f : value(rng);
    pool.weights[s] = weight(rng);
    pool.source_pointers[s] = pool.sources[s];
  }
  return pool;
}

// The sums the header promises, in its order: eight lanes, lane l adding the values at
// b = l mod 8 in turn, then the lanes in turn.
float eight_lane_sum(const float* values) {
  float lanes[8] = {};
  for (int b = 0; b < 256; ++b) lanes[b % 8] += values[b];
  float sum = lanes[0];
  for (int l = 1; l < 8; ++l) sum += lanes[l];
  return sum;
}

class PoolLanesTest : public ::testing::TestWithParam<std::tuple<unsigned, float>> {};

TEST_P(PoolLanesTest, EveryWidthGivesTheValuesOfTheOneOrder) {
  const auto [seed, spread] = GetParam();
  const Pool pool = random_pool(seed, spread);
  float scores[256], narrow_scores[256];
  pool_scores(pool.weights, pool.source_pointers, scores);
  pool_scores_narrow(pool.weights, pool.source_pointers, narrow_scores);
  for (int b = 0; b < 256; ++b) {
    const float expected = (pool.weights[0] * pool.sources[0][b] +
                            pool.weights[1] * pool.sources[1][b]) +
                           pool.weights[2] * pool.sources[2][b];
    ASSERT_TRUE(same_bits(scores[b], expected)) << b;
    ASSERT_TRUE(same_bits(narrow_scores[b], expected)) << b;
  }

  float exps[256], narrow_exps[256];
  const PoolSums sums = pool_exponentials(scores, pool.source_pointers, exps);
  const PoolSums narrow = pool_exponentials_narrow(scores, pool.source_pointers, narrow_exps);
  const float largest = *std::max_element(scores, scores + 256);
  float x[256], weighted[256], by_source[kDenseSources][256];
  for (int b = 0; b < 256; ++b) {
    ASSERT_TRUE(same_bits(exps[b], narrow_exps[b])) << b;
    x[b] = std::max(scores[b] - largest, -87.0f);
    EXPECT_NEAR(exps[b], std::exp(static_cast<double>(x[b])), 6e-6 * std::exp(x[b])) << b;
    weighted[b] = exps[b] * x[b];
    for (int s = 0; s < kDenseSources; ++s) by_source[s][b] = exps[b] * pool.sources[s][b];
  }
  for (const PoolSums& got : {sums, narrow}) {
    EXPECT_TRUE(same_bits(got.total, eight_lane_sum(exps)));
    EXPECT_TRUE(same_bits(got.weighted, eight_lane_sum(weighted)));
    for (int s = 0; s < kDenseSources; ++s) {
      EXPECT_TRUE(same_bits(got.sources[s], eight_lane_sum(by_source[s]))) << s;
    }
  }
}

// Spreads of a few units, as most positions have, and of hundreds, where the smallest
// scores are floored.
INSTANTIATE_TEST_SUITE_P(Pools, PoolLanesTest,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u),
                                            ::testing::Values(3.0f, 40.0f, 400.0f)));

}  // namespace
}  // namespace internal
}  // namespace qelt
