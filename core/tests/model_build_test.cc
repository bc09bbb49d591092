// A model built in any number of shares, in one process or step by step as a cluster
// does (every part passing through its bytes), is byte for byte the model made in one
// go the plainest way, for every k, kind, min_count and budget.

#include "model_build.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "reference/straightforward_model.h"

namespace qelt {
namespace {

// Documents of a small random source with memory, so that contexts recur with counts
// of every size: each byte depends on the two before it.
std::vector<std::string> corpus(unsigned seed) {
  std::mt19937 rng(seed);
  const int alphabet = 6 + static_cast<int>(rng() % 10);
  std::vector<std::string> documents(12 + rng() % 12);
  for (std::string& d : documents) {
    d.resize(rng() % 700);
    for (std::size_t i = 0; i < d.size(); ++i) {
      const unsigned before = i >= 2 ? static_cast<std::uint8_t>(d[i - 1]) * 7 +
                                           static_cast<std::uint8_t>(d[i - 2]) : 0;
      const unsigned pick = (rng() % 4 == 0) ? static_cast<unsigned>(rng()) : before * 2654435761u >> 7;
      d[i] = static_cast<char>('a' + pick % alphabet);
    }
  }
  return documents;
}

ContextCounts counts_of(const std::vector<std::string>& documents, int k) {
  ContextCounts counts(k);
  for (const std::string& d : documents) {
    counts.add(reinterpret_cast<const std::uint8_t*>(d.data()), d.size());
  }
  return counts;
}

template <typename T>
T through_bytes(const std::string& bytes) {
  return T::deserialize(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::vector<std::uint8_t> image_of(const ContextModel& model) {
  return {model.image(), model.image() + model.image_size()};
}

// The steps as a cluster takes them: the counts split, each share travelling as its
// encoding, and every survey, plan, candidate and built share as its bytes.
std::vector<std::uint8_t> built_step_by_step(const ContextCounts& counts,
                                             const BuildSettings& settings, int bits) {
  std::vector<ContextCounts> shares = counts.split(bits);
  std::vector<ShareSurvey> surveys;
  for (int s = 0; s < (1 << bits); ++s) {
    shares[s] = through_bytes<ContextCounts>(shares[s].serialize());
    surveys.push_back(
        through_bytes<ShareSurvey>(survey_share(shares[s], s, bits, settings).serialize()));
  }
  BuildPlan plan = through_bytes<BuildPlan>(plan_build(surveys, counts.k(), settings).serialize());
  if (plan.needs_cut_key()) {
    std::vector<CutCandidates> candidates;
    for (int s = 0; s < (1 << bits); ++s) {
      candidates.push_back(
          through_bytes<CutCandidates>(cut_candidates(shares[s], s, bits, plan).serialize()));
    }
    settle_cut(plan, candidates);
    plan = through_bytes<BuildPlan>(plan.serialize());
  }
  ModelAssembly assembly(plan, bits);
  std::vector<std::vector<std::uint8_t>> runs;
  std::vector<std::uint32_t> crcs;
  for (int s = 0; s < (1 << bits); ++s) {
    const BuiltShare built = build_share(shares[s], s, bits, plan);
    runs.push_back(built.run);
    crcs.push_back(built.run_crc);
    const std::string sections = built.serialize_sections();
    assembly.add(BuiltShare::deserialize_sections(
        reinterpret_cast<const std::uint8_t*>(sections.data()), sections.size()));
  }
  std::vector<std::uint8_t> image(assembly.size(), 0xEE);
  for (const auto& [offset, bytes] : assembly.rest(crcs)) {
    std::memcpy(image.data() + offset, bytes.data(), bytes.size());
  }
  for (int s = 0; s < (1 << bits); ++s) {
    EXPECT_EQ(runs[s].size(), assembly.run_bytes(s));
    if (!runs[s].empty()) std::memcpy(image.data() + assembly.run_offset(s), runs[s].data(), runs[s].size());
  }
  return image;
}

class ModelBuildTest
    : public ::testing::TestWithParam<std::tuple<int, std::string_view, std::uint64_t>> {};

INSTANTIATE_TEST_SUITE_P(
    Models, ModelBuildTest,
    ::testing::Combine(::testing::Range(0, 9), ::testing::Values("none", "kneser-ney"),
                       ::testing::Values(1, 3)));

TEST_P(ModelBuildTest, AnyNumberOfSharesMakesTheModelOfOneGo) {
  const auto [k, name, min_count] = GetParam();
  const ModelKind& kind = *find_model_kind(name);
  for (unsigned seed = 0; seed < 3; ++seed) {
    const std::vector<std::string> documents = corpus(seed * 9 + static_cast<unsigned>(k));
    const ContextCounts counts = counts_of(documents, k);
    const std::uint64_t whole =
        testing::straightforward_model(documents, k, min_count, 0, kind).image_size();
    // No budget; budgets that fall among the longer contexts, among the shortest, and
    // below the smallest model.
    for (const std::uint64_t max_bytes : {std::uint64_t{0}, whole * 7 / 10, whole / 3,
                                          whole / 12, std::uint64_t{300}}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", max_bytes " + std::to_string(max_bytes));
      const BuildSettings settings{&kind, min_count, max_bytes};
      std::vector<std::uint8_t> expected;
      try {
        expected = image_of(testing::straightforward_model(documents, k, min_count, max_bytes, kind));
      } catch (const std::invalid_argument&) {
        EXPECT_THROW(build_in_shares(counts, settings, 2), std::invalid_argument);
        EXPECT_THROW(built_step_by_step(counts, settings, 3), std::invalid_argument);
        continue;
      }
      for (const int bits : {0, 1, 3, 6}) {
        EXPECT_EQ(image_of(build_in_shares(counts, settings, bits)), expected) << "bits " << bits;
      }
      for (const int bits : {0, 2, 4}) {
        EXPECT_EQ(built_step_by_step(counts, settings, bits), expected) << "bits " << bits;
      }
    }
  }
}

// Enough contexts for lengths of many blocks, some with more blocks than shares (whose
// blocks the shares build) and some with fewer (whose blocks the assembly builds).
TEST(ModelBuildTest, SharesOfManyBlocksMakeTheModelOfOneGo) {
  std::mt19937 rng(11);
  std::vector<std::string> documents(3);
  for (std::string& d : documents) {
    d.resize(40000);
    for (char& c : d) c = static_cast<char>(rng() % 4 == 0 ? rng() : 'a' + rng() % 24);
  }
  // Each kind at one k (the grid above crosses them on fewer blocks).
  for (const auto& [k, name] : {std::pair{3, "kneser-ney"}, std::pair{6, "none"}}) {
    const ContextCounts counts = counts_of(documents, k);
    {
      const ModelKind& kind = *find_model_kind(name);
      const ContextModel whole = testing::straightforward_model(documents, k, 1, 0, kind);
      ASSERT_GT(whole.contexts_of_length(k), 8u * 4096);
      for (const std::uint64_t max_bytes : {std::uint64_t{0}, whole.image_size() * 6 / 10}) {
        SCOPED_TRACE(std::to_string(k) + " " + std::string(name) + " " + std::to_string(max_bytes));
        const BuildSettings settings{&kind, 1, max_bytes};
        const std::vector<std::uint8_t> expected =
            max_bytes == 0 ? image_of(whole)
                           : image_of(testing::straightforward_model(documents, k, 1, max_bytes, kind));
        for (const int bits : {2, 4}) {
          EXPECT_EQ(built_step_by_step(counts, settings, bits), expected) << "bits " << bits;
        }
        EXPECT_EQ(image_of(build_in_shares(counts, settings, 3)), expected);
      }
    }
  }
}

TEST(ShareSplitTest, TheSharesTogetherAreTheCounts) {
  const std::vector<std::string> documents = corpus(5);
  for (const int k : {0, 1, 2, 5, 8}) {
    const ContextCounts counts = counts_of(documents, k);
    for (const int bits : {0, 1, 4}) {
      const std::vector<ContextCounts> shares = counts.split(bits);
      ASSERT_EQ(shares.size(), std::size_t{1} << bits);
      ContextCounts together(k);
      std::uint64_t windows = 0;
      for (const ContextCounts& share : shares) {
        together.merge(share);
        windows += share.windows();
      }
      EXPECT_EQ(together.serialize(), counts.serialize()) << k << " " << bits;
      EXPECT_EQ(together.positions(), counts.positions());
      EXPECT_LE(windows, counts.windows());
    }
  }
  EXPECT_THROW(counts_of(documents, 3).split(kMostShareBits + 1), std::invalid_argument);
}

TEST(BuildPartsTest, BytesNotMadeBySerializeAreRefused) {
  const ContextCounts counts = counts_of(corpus(2), 4);
  const BuildSettings settings{};
  const std::string survey = survey_share(counts, 0, 0, settings).serialize();
  const std::string plan = plan_build({through_bytes<ShareSurvey>(survey)}, 4, settings).serialize();
  for (const std::string& bytes : {survey, plan}) {
    for (const std::size_t cut : {std::size_t{0}, bytes.size() / 2, bytes.size() - 1}) {
      const std::string part = bytes.substr(0, cut);
      EXPECT_THROW(through_bytes<ShareSurvey>(part), std::invalid_argument);
      EXPECT_THROW(through_bytes<BuildPlan>(part), std::invalid_argument);
    }
  }
  EXPECT_THROW(through_bytes<ShareSurvey>(survey + "x"), std::invalid_argument);
}

}  // namespace
}  // namespace qelt
