// Holds the fast patching to the straightforward definition on many inputs, context
// lengths and thresholds, including thresholds equal to the entropies and rises that
// occur, and one single-precision step on either side of them.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string_view>
#include <unordered_map>

#include "patching/window_ids.h"
#include "patching.h"
#include "reference/straightforward_patching.h"

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

TEST(PatchingDifferentialTest, MatchesDefinitionOnLongInputs) {
  // Long enough for one-byte contexts to be counted in a table of all pairs, with an
  // odd and an even number of pairs.
  std::mt19937 rng(65536);
  for (const std::size_t n : {std::size_t{65536}, std::size_t{65537}, std::size_t{90001}}) {
    ByteSequence bytes;
    while (bytes.size() < n) {
      const ByteSequence part = random_input(rng);
      bytes.insert(bytes.end(), part.begin(), part.end());
    }
    bytes.resize(n);
    for (const std::int32_t k : {1, 2}) {
      const std::vector<float> entropies = testing::straightforward_entropies(bytes, k);
      std::vector<std::pair<float, float>> pairs;
      const std::vector<float> t = thresholds_for(entropies, rng);
      for (int trial = 0; trial < 4; ++trial) {
        pairs.emplace_back(t[rng() % t.size()], t[rng() % t.size()]);
      }
      // The entropies at the first and last positions, exactly and a step below:
      // counts lost or gained at either end of the input show there.
      for (const std::size_t j : {std::size_t{0}, entropies.size() - 1}) {
        const float h = entropies[j];
        pairs.insert(pairs.end(), {{h, kInf}, {std::nextafter(h, -kInf), kInf}});
      }
      for (const auto& [theta, theta_r] : pairs) {
        ASSERT_EQ(patch_sequence(bytes, k, theta, theta_r),
                  testing::patches_at_entropies(bytes, k, entropies, theta, theta_r))
            << "n " << n << " k " << k << " theta " << theta << " theta_r " << theta_r;
      }
    }
  }
}

TEST(PatchingDifferentialTest, EndsDescribeThePatches) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const ByteSequence bytes = random_input(rng);
    const std::vector<std::size_t> ends = patch_ends(bytes.data(), bytes.size(), 2, {0.3f, 0.1f});
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

// Ids from every way of finding them (direct table, hash table, sorting, pairs of
// halves) and both id widths: equal windows share an id, different ones do not, and
// ids come in order of first appearance.
template <typename Id>
internal::WindowIds<Id> check_window_ids(const ByteSequence& bytes, std::size_t length) {
  internal::WindowIds<Id> ids = internal::window_ids<Id>(bytes.data(), bytes.size(), length);
  EXPECT_EQ(ids.of.size(), bytes.size() - length + 1);
  std::unordered_map<std::string_view, Id> id_of_window;
  std::unordered_map<Id, std::string_view> window_of_id;
  std::vector<Id> occurrences(ids.occurrences.size());
  for (std::size_t j = 0; j < ids.of.size(); ++j) {
    const std::string_view window(reinterpret_cast<const char*>(bytes.data()) + j, length);
    const Id id = ids.of[j];
    EXPECT_LE(id, id_of_window.size());  // an id is new only as the next one
    if (id >= occurrences.size()) break;
    ++occurrences[id];
    if (id_of_window.emplace(window, id).first->second != id ||
        window_of_id.emplace(id, window).first->second != window) {
      ADD_FAILURE() << "window " << j << " length " << length;
      break;
    }
  }
  EXPECT_EQ(ids.occurrences, occurrences);
  EXPECT_EQ(id_of_window.size(), occurrences.size());
  return ids;
}

TEST(WindowIdsTest, EqualWindowsShareDenseIds) {
  std::mt19937 rng(3);
  ByteSequence bytes(70000);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % 7 == 0 ? rng() : rng() % 3);
  for (std::size_t length : {1, 2, 3, 4, 8, 9, 20, 69999, 70000}) {
    check_window_ids<std::uint32_t>(bytes, length);
    check_window_ids<std::uint64_t>(bytes, length);
  }
}

TEST(WindowIdsTest, SortsWhenNearlyEveryWindowIsNew) {
  // Over a million distinct windows, nearly all new: the hash table gives way to
  // sorting for packed windows (and for the halves of longer ones).
  std::mt19937 rng(11);
  ByteSequence bytes(std::size_t{3} << 19);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  for (std::size_t length : {3, 4, 12}) check_window_ids<std::uint32_t>(bytes, length);
  check_window_ids<std::uint64_t>(bytes, 3);  // 64-bit ids sort starts, not packed words
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
