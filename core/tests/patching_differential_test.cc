// Holds the fast patching to the straightforward definition on many inputs, context
// lengths and thresholds, including thresholds equal to the entropies and rises that
// occur, and one single-precision step on either side of them.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <unordered_map>

#include "window_ids.h"
#include "patching.h"
#include "straightforward_patching.h"

namespace qelt {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

ByteSequence random_input(std::mt19937& rng) {
  static const std::size_t lengths[] = {0, 1, 2, 3, 9, 40, 300, 1000, 4000};
  static const int alphabets[] = {1, 2, 3, 5, 16, 256};
  const std::size_t n = lengths[rng() % std::size(lengths)];
  const int alphabet = alphabets[rng() % std::size(alphabets)];
  ByteSequence bytes;
  // Half the inputs repeat a few motifs, so that long contexts recur too.
  std::vector<ByteSequence> motifs(1 + rng() % 4);
  for (auto& m : motifs) {
    m.resize(1 + rng() % 24);
    for (auto& b : m) b = static_cast<std::uint8_t>(rng() % alphabet);
  }
  const bool with_motifs = rng() % 2;
  while (bytes.size() < n) {
    if (with_motifs && rng() % 3) {
      const ByteSequence& m = motifs[rng() % motifs.size()];
      bytes.insert(bytes.end(), m.begin(), m.end());
    } else {
      bytes.push_back(static_cast<std::uint8_t>(rng() % alphabet));
    }
  }
  bytes.resize(n);
  return bytes;
}

std::vector<float> thresholds_for(const std::vector<float>& entropies, std::mt19937& rng) {
  std::vector<float> t = {kInf, -kInf, std::numeric_limits<float>::quiet_NaN(), 0.0f, -0.0f,
                          std::numeric_limits<float>::denorm_min(), 0.5f, 2.0f};
  float previous = 0.0f;
  std::vector<float> seen;
  for (const float h : entropies) {
    seen.push_back(h);
    seen.push_back(static_cast<float>(static_cast<double>(h) - previous));
    previous = h;
  }
  for (int i = 0; i < 6 && !seen.empty(); ++i) {
    const float x = seen[rng() % seen.size()];
    t.insert(t.end(), {x, std::nextafter(x, kInf), std::nextafter(x, -kInf)});
  }
  return t;
}

TEST(PatchingDifferentialTest, MatchesDefinitionOnRandomInputs) {
  std::mt19937 rng(20261207);
  const std::int32_t context_lengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 31, 64};
  for (int round = 0; round < 150; ++round) {
    const ByteSequence bytes = random_input(rng);
    std::vector<std::int32_t> ks(std::begin(context_lengths), std::end(context_lengths));
    ks.insert(ks.end(), {static_cast<std::int32_t>(bytes.size()),
                         static_cast<std::int32_t>(bytes.size()) - 1, -1,
                         std::numeric_limits<std::int32_t>::min(),
                         std::numeric_limits<std::int32_t>::max()});
    for (const std::int32_t k : ks) {
      const std::vector<float> t = thresholds_for(testing::straightforward_entropies(bytes, k), rng);
      for (int trial = 0; trial < 6; ++trial) {
        const float theta = t[rng() % t.size()];
        const float theta_r = t[rng() % t.size()];
        ASSERT_EQ(patch_sequence(bytes, k, theta, theta_r),
                  testing::straightforward_patch_sequence(bytes, k, theta, theta_r))
            << "round " << round << " n " << bytes.size() << " k " << k << " theta " << theta
            << " theta_r " << theta_r;
      }
    }
  }
}

TEST(PatchingDifferentialTest, EndsDescribeThePatches) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const ByteSequence bytes = random_input(rng);
    const std::vector<std::size_t> ends = patch_ends(bytes.data(), bytes.size(), 2, 0.3f, 0.1f);
    const PatchList patches = patch_sequence(bytes, 2, 0.3f, 0.1f);
    ASSERT_EQ(ends.size(), patches.size());
    std::size_t begin = 0;
    for (std::size_t j = 0; j < ends.size(); ++j) {
      ASSERT_LT(begin, ends[j]);
      ASSERT_EQ(ByteSequence(bytes.begin() + begin, bytes.begin() + ends[j]), patches[j]);
      begin = ends[j];
    }
    EXPECT_EQ(begin, bytes.size());
  }
}

// Ids from every index strategy and both id widths: equal windows share an id,
// and ids are handed out in order of first appearance.
template <typename Id>
void expect_first_appearance_ids(const internal::WindowIds<Id>& ids, const ByteSequence& bytes,
                                 std::size_t length, const std::vector<Id>& starts) {
  std::unordered_map<std::string, Id> expected;
  std::vector<Id> occurrences;
  ASSERT_EQ(ids.of.size(), starts.size());
  for (std::size_t j = 0; j < starts.size(); ++j) {
    const std::string window(bytes.begin() + starts[j], bytes.begin() + starts[j] + length);
    const Id id = expected.emplace(window, static_cast<Id>(expected.size())).first->second;
    if (id == occurrences.size()) occurrences.push_back(0);
    ++occurrences[id];
    ASSERT_EQ(ids.of[j], id) << "window " << j << " length " << length;
  }
  ASSERT_EQ(ids.occurrences, occurrences);
}

template <typename Id>
void check_window_ids(const ByteSequence& bytes, std::size_t length) {
  std::vector<Id> all(bytes.size() - length + 1);
  for (std::size_t j = 0; j < all.size(); ++j) all[j] = static_cast<Id>(j);
  expect_first_appearance_ids(internal::window_ids<Id>(bytes.data(), bytes.size(), length),
                              bytes, length, all);
  std::vector<Id> some;
  for (std::size_t j = all.size(); j-- > 0;) {
    if (j % 3 != 1) some.push_back(static_cast<Id>(j));
  }
  expect_first_appearance_ids(
      internal::window_ids_at<Id>(bytes.data(), bytes.size(), length, some), bytes, length, some);
}

TEST(WindowIdsTest, AssignsIdsInOrderOfFirstAppearance) {
  std::mt19937 rng(3);
  ByteSequence bytes(70000);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % 7 == 0 ? rng() : rng() % 3);
  for (std::size_t length : {1, 2, 3, 4, 8, 9, 20, 69999, 70000}) {
    check_window_ids<std::uint32_t>(bytes, length);
    check_window_ids<std::uint64_t>(bytes, length);
  }
}

TEST(WindowIdsTest, DirectTableForThreeBytesOnLongInputs) {
  // Enough windows (2^22) for 3-byte windows to index a table directly.
  std::mt19937 rng(5);
  ByteSequence bytes((std::size_t{1} << 22) + 10);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % 5);
  const auto ids = internal::window_ids<std::uint32_t>(bytes.data(), bytes.size(), 3);
  std::unordered_map<std::uint32_t, std::uint32_t> expected;
  for (std::size_t j = 0; j + 3 <= bytes.size(); ++j) {
    const std::uint32_t key = bytes[j] << 16 | bytes[j + 1] << 8 | bytes[j + 2];
    const auto id = expected.emplace(key, static_cast<std::uint32_t>(expected.size())).first->second;
    ASSERT_EQ(ids.of[j], id) << j;
  }
}

}  // namespace
}  // namespace qelt
