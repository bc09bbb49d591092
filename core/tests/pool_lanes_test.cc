#include "scoring/pool_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>

namespace qelt {
namespace internal {
namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The sums the header promises, in its order: eight lanes, lane l adding the values at
// i = l mod 8 in turn, then the lanes in turn.
template <typename Value>
Value eight_lane_sum(const Value* values, int n) {
  Value lanes[8] = {};
  for (int i = 0; i < n; ++i) lanes[i % 8] += values[i];
  Value sum = lanes[0];
  for (int l = 1; l < 8; ++l) sum += lanes[l];
  return sum;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The model's sums, in their order: blocks of 32 summed in float as above, each block's
// lanes added to lanes of double, those added up in turn.
double blocked_sum(const float* values, int n) {
  double lanes[8] = {};
  for (int first = 0; first < n; first += 32) {
    float block[8] = {};
    for (int i = first; i < std::min(n, first + 32); ++i) block[i % 8] += values[i];
    for (int l = 0; l < 8; ++l) lanes[l] += block[l];
  }
  return ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) +
         ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
}

// n touched bytes with sources spread over `spread` below 0 (ties and zeros among
// them), and every value past n garbage, NaN included, which no result may show.
struct Pool {
  std::uint8_t bytes[256];
  std::int16_t model_codes[256];
  float document[kDocumentScores][256];
  float extra[256];
  float weights[kGatheredSources];
  float bias;
  Touched touched() const {
    return {n, bytes, model_codes, {document[0], document[1], document[2], document[3]}, extra};
  }
  int n;
};

Pool random_pool(unsigned seed, int n, float spread) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-spread, 0.0f), weight(-0.5f, 1.5f);
  Pool pool;
  pool.n = n;
  for (std::int16_t& c : pool.model_codes) {
    c = static_cast<std::int16_t>(rng() % 7 == 0 ? 0 : -static_cast<int>(rng() % 32768));
  }
  std::vector<std::uint8_t> order(256);
  for (int b = 0; b < 256; ++b) order[b] = static_cast<std::uint8_t>(b);
  std::shuffle(order.begin(), order.end(), rng);
  const float garbage = std::numeric_limits<float>::quiet_NaN();
  for (int i = 0; i < 256; ++i) {
    pool.bytes[i] = order[i];
    for (float* scores : pool.document) {
      scores[i] = i < n ? (rng() % 3 == 0 ? 0.0f : -value(rng) / 4) : garbage;
    }
    pool.extra[i] = i < n ? (rng() % 2 == 0 ? 0.0f : -value(rng) / 2) : garbage;
  }
  for (float& w : pool.weights) w = weight(rng);
  pool.bias = weight(rng);
  return pool;
}

class PoolLanesTest : public ::testing::TestWithParam<std::tuple<unsigned, int, float>> {};

TEST_P(PoolLanesTest, EveryWidthGivesTheValuesOfTheOneOrder) {
  const auto [seed, n, spread] = GetParam();
  const Pool pool = random_pool(seed, n, spread);
  float exps[256], narrow_exps[256];
  const TouchedSums sums = pool_touched(pool.touched(), pool.weights, pool.bias, exps);
  const TouchedSums narrow =
      pool_touched_narrow(pool.touched(), pool.weights, pool.bias, narrow_exps);

  float scores[256], m[256];
  float largest = 0.0f;
  for (int i = 0; i < n; ++i) {
    m[i] = log_of_code(pool.model_codes[pool.bytes[i]]);
    float x = pool.weights[0] * m[i];
    for (int d = 0; d < kDocumentScores; ++d) x = x + pool.weights[1 + d] * pool.document[d][i];
    scores[i] = (x + pool.bias) + pool.extra[i];
    largest = std::max(largest, scores[i]);
  }
  float weighted[256], by_source[kGatheredSources][256], model_p[256], model_weighted[256];
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(same_bits(exps[i], narrow_exps[i])) << i;
    const float x = std::max(scores[i] - largest, -87.0f);
    EXPECT_NEAR(exps[i], std::exp(static_cast<double>(x)), 6e-6 * std::exp(x)) << i;
    weighted[i] = exps[i] * x;
    by_source[0][i] = exps[i] * m[i];
    for (int d = 0; d < kDocumentScores; ++d) by_source[1 + d][i] = exps[i] * pool.document[d][i];
    model_p[i] = model_exp(m[i]);
    model_weighted[i] = model_p[i] * m[i];
  }
  for (const TouchedSums& got : {sums, narrow}) {
    EXPECT_TRUE(same_bits(got.largest, largest));
    EXPECT_TRUE(same_bits(got.total, eight_lane_sum(exps, n)));
    EXPECT_TRUE(same_bits(got.weighted, eight_lane_sum(weighted, n)));
    for (int s = 0; s < kGatheredSources; ++s) {
      EXPECT_TRUE(same_bits(got.sources[s], eight_lane_sum(by_source[s], n))) << s;
    }
    EXPECT_TRUE(same_bits(got.model_total, blocked_sum(model_p, n)));
    EXPECT_TRUE(same_bits(got.model_weighted, blocked_sum(model_weighted, n)));
  }
}

// No byte, a few (less than a lane, less than a sum's eight lanes), many, and all;
// spreads of a few units, as most positions have, and of hundreds, where the smallest
// scores are floored.
INSTANTIATE_TEST_SUITE_P(Pools, PoolLanesTest,
                         ::testing::Combine(::testing::Values(1u, 2u),
                                            ::testing::Values(0, 3, 7, 33, 256),
                                            ::testing::Values(3.0f, 40.0f, 400.0f)));

// A distribution coded (each log to the nearest code, the totals of the logs coded) and
// shifted back out of its codes, against the sums and values they promise.
TEST(ModelCodes, AreTheNearestCodesAndTheirTotals) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(-24.0f, 0.0f);
  float logs[256], p[256], p_log[256], shifted[256];
  for (float& v : logs) v = value(rng);
  logs[0] = -24.0f;
  logs[1] = 0.0f;
  std::int16_t codes[256];
  const ModelTotals got = code_logs(logs, codes);
  for (int b = 0; b < 256; ++b) {
    ASSERT_LE(std::fabs(log_of_code(codes[b]) - logs[b]), kLogStep / 2 * 1.001f) << b;
    p[b] = model_exp(log_of_code(codes[b]));
    p_log[b] = p[b] * log_of_code(codes[b]);
  }
  EXPECT_TRUE(same_bits(got.total, blocked_sum(p, 256)));
  EXPECT_TRUE(same_bits(got.weighted, blocked_sum(p_log, 256)));

  shift_codes(codes, -3.5f, -24.0f, shifted);
  for (int b = 0; b < 256; ++b) {
    ASSERT_TRUE(same_bits(shifted[b], std::max(log_of_code(codes[b]) + -3.5f, -24.0f))) << b;
  }
}

// The listed bytes' logs: within 2e-7 of ln (for probabilities of every scale, 0 at
// the floor), and the values of vectors of 4 whatever width the processor takes.
TEST(ListedLogs, AreTheLogsOfTheProbabilitiesAtEveryWidth) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int n : {0, 5, 8, 37, 256}) {
    float probs[256], shifts[256], out[256];
    for (int i = 0; i < 256; ++i) {
      probs[i] = i % 9 == 0 ? 0.0f : i % 5 == 0 ? 1.0f : std::pow(unit(rng), 1.0f + i % 40);
      shifts[i] = i % 3 == 0 ? 0.0f : -unit(rng) * 6.0f;
    }
    listed_logs(n, probs, shifts, -24.0f, out);
    for (int i = 0; i < n; ++i) {
      const double expected =
          probs[i] > 0.0f ? std::max(shifts[i] + std::log(static_cast<double>(probs[i])), -24.0)
                          : -24.0;
      EXPECT_NEAR(out[i], expected, 2e-7 * std::max(1.0, std::fabs(expected))) << i;
      const int first = i / 4 * 4;
      const Floats<4> four = lanes_max<4>(
          load_lanes<4>(shifts + first) + log_of_normal<4>(load_lanes<4>(probs + first)),
          splat<4>(-24.0f));
      EXPECT_TRUE(same_bits(out[i], four[i - first])) << i;
    }
  }
}

}  // namespace
}  // namespace internal
}  // namespace qelt
