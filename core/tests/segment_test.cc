// The vector walk of segmentation against the plain one, on entropies and thresholds
// chosen to sit exactly on the comparisons: equal values, exact rises, one
// single-precision step either side, zeros of both signs, NaN, infinities and
// subnormals. On a processor without the vector walk both sides are the plain walk.

#include "patching/segment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace qelt {
namespace internal {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A value from `pool`, or one single-precision step either side of it.
float near(std::mt19937& rng, const std::vector<float>& pool) {
  const float v = pool[rng() % pool.size()];
  switch (rng() % 4) {
    case 0: return std::nextafter(v, kInf);
    case 1: return std::nextafter(v, -kInf);
    default: return v;
  }
}

template <typename Index>
void expect_walks_agree(std::mt19937& rng, std::size_t table_size) {
  const std::vector<float> specials = {0.0f, -0.0f, 0.5f, 1.0f, 1.5f, 2.5f, 5.5451774f,
                                       std::numeric_limits<float>::denorm_min(), kNaN, kInf,
                                       -kInf};
  std::vector<float> entropy(table_size);
  for (float& h : entropy) {
    h = rng() % 3 == 0 ? specials[rng() % specials.size()]
                       : std::uniform_real_distribution<float>(0.0f, 5.6f)(rng);
  }
  const std::size_t evaluated = rng() % 120;  // whole blocks of 16 and every tail
  const std::size_t k = 1 + rng() % 4;
  std::vector<Index> contexts(evaluated);
  for (Index& c : contexts) c = static_cast<Index>(rng() % table_size);
  // Thresholds on the entropies that occur, and on the rises between neighbours.
  std::vector<float> levels = specials;
  std::vector<float> rises = specials;
  for (std::size_t j = 0; j < evaluated; ++j) {
    const float h = entropy[contexts[j]];
    levels.push_back(h);
    rises.push_back(static_cast<float>(h - (j == 0 ? 0.0f : entropy[contexts[j - 1]])));
  }
  const float theta = near(rng, levels);
  const float theta_r = near(rng, rises);

  std::vector<std::uint32_t> plain_out(evaluated), fast_out(evaluated);
  const auto plain = segment(contexts.data(), plain_out.data(), evaluated, entropy.data(),
                             evaluated + k, k, {theta, theta_r}, Walk::kPlain);
  const auto fast = segment(contexts.data(), fast_out.data(), evaluated, entropy.data(),
                            evaluated + k, k, {theta, theta_r}, Walk::kFastest);
  ASSERT_EQ(fast, plain) << "evaluated " << evaluated << " theta " << theta << " theta_r "
                         << theta_r;
  if constexpr (sizeof(Index) == 4) {
    // Written over its own contexts, as patching does with window ids.
    std::vector<Index> in_place = contexts;
    EXPECT_EQ(segment(in_place.data(), in_place.data(), evaluated, entropy.data(),
                      evaluated + k, k, {theta, theta_r}, Walk::kFastest),
              plain);
  }
}

TEST(SegmentTest, VectorWalkMatchesPlainWalk) {
  std::mt19937 rng(16);
  for (int round = 0; round < 2000; ++round) {
    expect_walks_agree<std::uint32_t>(rng, 1 + rng() % 40);
    expect_walks_agree<std::uint8_t>(rng, 256);
  }
}

}  // namespace
}  // namespace internal
}  // namespace qelt
