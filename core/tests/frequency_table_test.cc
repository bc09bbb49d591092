#include "frequency_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace qelt {
namespace {

using std::string_literals::operator""s;

TEST(FrequencyTableTest, ShortSequencesCountNothing) {
  FrequencyTable table;
  for (const ByteString s : {""s, "a"s, "ab"s}) table.add_sequence(s);
  EXPECT_EQ(table.get_frequency("ab"), 0.0);
  EXPECT_EQ(table.get_frequency(""), 0.0);
  table.add_sequence("abc");
  EXPECT_EQ(table.get_frequency("abc"), 1.0);
}

TEST(FrequencyTableTest, TrigramsOverlapAndAccumulate) {
  FrequencyTable table;
  table.add_sequence("aaaa");
  EXPECT_EQ(table.get_frequency("aaa"), 1.0);
  table.add_sequence("abcab");
  EXPECT_EQ(table.get_frequency("aaa"), 2.0 / 5.0);
  EXPECT_EQ(table.get_frequency("bca"), 1.0 / 5.0);
  EXPECT_EQ(table.get_frequency("ab"), 0.0);
  EXPECT_EQ(table.get_frequency("abca"), 0.0);
}

TEST(FrequencyTableTest, KeysAreRawBytesWithNul) {
  FrequencyTable table;
  table.add_sequence("\0\0\0\0"s);
  EXPECT_EQ(table.get_frequency("\0\0\0"s), 1.0);
  EXPECT_EQ(table.get_frequency(""), 0.0);
}

TEST(FrequencyTableTest, ClearForgetsTrigramsButKeepsContexts) {
  FrequencyTable table;
  table.add_sequence("abcabc");
  table.update("ab", 7);
  table.clear();
  EXPECT_EQ(table.get_frequency("abc"), 0.0);
  EXPECT_EQ(table.get_counts("ab")[7], 1);
  table.add_sequence("xyz");
  EXPECT_EQ(table.get_frequency("xyz"), 1.0);
}

TEST(FrequencyTableTest, UpdateAddressesEveryByteValue) {
  FrequencyTable table;
  table.update("c", 0);
  table.update("c", 255);
  table.update("c", 255);
  const NextByteCounts counts = table.get_counts("c");
  EXPECT_EQ(counts[0], 1);
  EXPECT_EQ(counts[255], 2);
  int sum = 0;
  for (int c : counts) sum += c;
  EXPECT_EQ(sum, 3);
}

TEST(FrequencyTableTest, EmptyContextIsItsOwnKey) {
  FrequencyTable table;
  table.update("", 1);
  EXPECT_EQ(table.get_counts("")[1], 1);
  EXPECT_EQ(table.get_counts("\0"s)[1], 0);
  table.update("\0"s, 2);
  EXPECT_EQ(table.get_counts("")[2], 0);
}

TEST(FrequencyTableTest, UnseenContextHasZeroCountsAndEntropy) {
  const FrequencyTable table;
  for (int c : table.get_counts("never")) EXPECT_EQ(c, 0);
  EXPECT_EQ(table.compute_entropy("never"), 0.0f);
  EXPECT_EQ(table.compute_entropy(""), 0.0f);
}

TEST(FrequencyTableTest, EntropyOfTwoEqualOutcomesIsLn2) {
  FrequencyTable table;
  table.update("x", 7);
  table.update("x", 9);
  EXPECT_EQ(table.compute_entropy("x"), 0.6931472f);
  EXPECT_NEAR(table.compute_entropy("x"), std::log(2.0), 1e-7);
}

TEST(FrequencyTableTest, EntropyOfOneOutcomeIsZero) {
  FrequencyTable table;
  for (int i = 0; i < 1000; ++i) table.update("x", 42);
  EXPECT_EQ(table.compute_entropy("x"), 0.0f);
}

TEST(FrequencyTableTest, EntropyOfUniformBytesIsLn256) {
  FrequencyTable table;
  for (int b = 0; b < 256; ++b) table.update("u", static_cast<std::uint8_t>(b));
  EXPECT_NEAR(table.compute_entropy("u"), std::log(256.0), 1e-5);
}

TEST(FrequencyTableTest, EntropyRoundsEachTermOnceFromDouble) {
  // Counts 1, 2, 3 of 6: the sum with each term rounded once from double.
  FrequencyTable table;
  const int counts[] = {1, 2, 3};
  for (int b = 0; b < 3; ++b) {
    for (int i = 0; i < counts[b]; ++i) table.update("", static_cast<std::uint8_t>(b));
  }
  float expected = 0.0f;
  for (int c : counts) {
    const float p = static_cast<float>(c) / 6.0f;
    expected = static_cast<float>(static_cast<double>(expected) -
                                  static_cast<double>(p) * static_cast<double>(logf(p)));
  }
  EXPECT_EQ(table.compute_entropy(""), expected);
}

TEST(FrequencyTableTest, QueriesNeverInsert) {
  FrequencyTable table;
  table.add_sequence("abc");
  EXPECT_EQ(table.get_frequency("zzz"), 0.0);
  EXPECT_EQ(table.compute_entropy("zz"), 0.0f);
  table.get_counts("zz");
  EXPECT_EQ(table.get_frequency("abc"), 1.0);
}

}  // namespace
}  // namespace qelt
