#include "patching.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "patcher.h"

namespace qelt {
namespace {

ByteSequence bytes_of(const std::string& s) { return ByteSequence(s.begin(), s.end()); }

PatchList patches_of(std::initializer_list<std::string> parts) {
  PatchList patches;
  for (const auto& p : parts) patches.push_back(bytes_of(p));
  return patches;
}

TEST(PatchSequenceTest, EmptyInputGivesNoPatches) {
  for (int k : {0, 1, -1, 5}) EXPECT_TRUE(patch_sequence({}, k, -1.0f, -1.0f).empty());
}

TEST(PatchSequenceTest, ContextLongerThanInputKeepsOnePatch) {
  const ByteSequence input = bytes_of("abcd");
  for (int k : {4, 100, -1, std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_EQ(patch_sequence(input, k, -1.0f, -1.0f), PatchList{input}) << k;
  }
}

TEST(PatchSequenceTest, EntropyRiseClosesPatch) {
  EXPECT_EQ(patch_sequence({1, 2, 1, 3}, 1, 0.5f, 10.0f), (PatchList{{1, 2}, {1, 3}}));
  EXPECT_EQ(patch_sequence(bytes_of("abcabd"), 2, 0.5f, 10.0f), patches_of({"abc", "abd"}));
}

TEST(PatchSequenceTest, EmptyContextUsesWholeHistogram) {
  const ByteSequence abab = bytes_of("abab");
  EXPECT_EQ(patch_sequence(abab, 0, 0.5f, 0.1f), patches_of({"a", "b", "a", "b"}));
  EXPECT_EQ(patch_sequence(abab, 0, 1.0f, 0.1f), patches_of({"a", "bab"}));
  EXPECT_EQ(patch_sequence(abab, 0, 1.0f, -0.1f), patches_of({"a", "b", "a", "b"}));
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(patch_sequence(abab, 0, inf, 0.1f), patches_of({"a", "bab"}));
  EXPECT_EQ(patch_sequence(abab, 0, -inf, inf), patches_of({"a", "b", "a", "b"}));
}

TEST(PatchSequenceTest, ThresholdEqualToEntropyDoesNotClose) {
  const ByteSequence abab = bytes_of("abab");
  const float ln2 = 0.6931472f;
  EXPECT_EQ(patch_sequence(abab, 0, ln2, ln2), patches_of({"abab"}));
  EXPECT_EQ(patch_sequence(abab, 0, ln2, std::nextafter(ln2, 0.0f)),
            patches_of({"a", "bab"}));
}

TEST(PatchSequenceTest, ConstantInputSplitsOnlyBelowZero) {
  const ByteSequence aaaa = bytes_of("aaaa");
  EXPECT_EQ(patch_sequence(aaaa, 1, -0.5f, 1.0f), patches_of({"aa", "a", "a"}));
  EXPECT_EQ(patch_sequence(aaaa, 1, 1.0f, -0.5f), patches_of({"aa", "a", "a"}));
  EXPECT_EQ(patch_sequence(aaaa, 1, -0.0f, 0.0f), patches_of({"aaaa"}));
}

TEST(PatchSequenceTest, NanThresholdNeverFiresItsOwnTest) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const ByteSequence abab = bytes_of("abab");
  EXPECT_EQ(patch_sequence(abab, 0, nan, nan), patches_of({"abab"}));
  EXPECT_EQ(patch_sequence(abab, 0, nan, 0.1f), patches_of({"a", "bab"}));
  EXPECT_EQ(patch_sequence(abab, 0, 0.5f, nan), patches_of({"a", "b", "a", "b"}));
}

TEST(PatcherTest, HoldsSequenceUntilReset) {
  Patcher patcher;
  EXPECT_EQ(patcher.get_patched_sequence(), "");
  std::vector<std::int32_t> indices = {-1, 7};
  patcher.patch_sequence(std::string("h\0llo", 5), indices);
  EXPECT_EQ(patcher.get_patched_sequence(), std::string("h\0llo", 5));
  EXPECT_EQ(indices, (std::vector<std::int32_t>{-1, 7}));
  patcher.patch_sequence("x", indices);
  EXPECT_EQ(patcher.get_patched_sequence(), "x");
  patcher.reset();
  EXPECT_EQ(patcher.get_patched_sequence(), "");
  patcher.reset();
  EXPECT_EQ(patcher.get_patched_sequence(), "");
}

}  // namespace
}  // namespace qelt
