// The probing tables against a std::unordered_map, with the invariants of linear
// probing checked slot by slot after every growth: every key is found, once; no empty
// slot lies between a key's home and its slot; the table is at most 3/4 full.

#include "util/probing_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "util/hash.h"

namespace qelt {
namespace internal {
namespace {

struct CountSlot {
  using Key = std::uint64_t;
  Key stored = 0;
  std::uint64_t count = 0;  // 0: empty

  Key key() const { return stored; }
  bool empty() const { return count == 0; }
};

// Every invariant of `table`, against `expected` (key -> count).
template <typename Hash>
void expect_consistent(const GrowingTable<CountSlot, Hash>& table,
                       const std::unordered_map<std::uint64_t, std::uint64_t>& expected) {
  const std::size_t slots = table.slot_count();
  ASSERT_GE(slots, 16u);
  ASSERT_EQ(slots & (slots - 1), 0u) << "a power of two of slots";
  ASSERT_EQ(table.size(), expected.size());
  ASSERT_LE(table.size(), slots / 4 * 3) << "at most 3/4 full";
  std::unordered_map<std::uint64_t, std::uint64_t> found;
  const CountSlot* const begin = table.slots();
  for (std::size_t i = 0; i < slots; ++i) {
    const CountSlot& slot = begin[i];
    if (slot.empty()) continue;
    ASSERT_TRUE(found.emplace(slot.key(), slot.count).second) << "key held twice";
    // No empty slot between the key's home and its slot, or a search stops short.
    for (std::size_t j = table.home_of(table.hash(slot.key())); j != i; j = (j + 1) % slots) {
      ASSERT_FALSE(begin[j].empty()) << "slot " << i << " unreachable from its home";
    }
  }
  EXPECT_EQ(found, expected);
}

template <typename Hash>
void check_random_inserts(unsigned seed, std::uint64_t key_range) {
  std::mt19937_64 rng(seed);
  GrowingTable<CountSlot, Hash> table;
  std::unordered_map<std::uint64_t, std::uint64_t> expected;
  std::size_t slots = table.slot_count();
  for (int i = 0; i < 5000; ++i) {
    // Keys bunched in a small range make long probe runs; any 64-bit key is allowed.
    const std::uint64_t key = key_range ? rng() % key_range : rng();
    bool inserted = false;
    CountSlot& slot = table.find_or_insert(key, [&] { return CountSlot{key, 0}; }, inserted);
    EXPECT_EQ(inserted, expected.count(key) == 0);
    ++slot.count;
    ++expected[key];
    if (table.slot_count() != slots) {  // it grew: every key rehashed
      slots = table.slot_count();
      expect_consistent(table, expected);
    }
  }
  expect_consistent(table, expected);

  // A copy is deep: changing one leaves the other as it was.
  const GrowingTable<CountSlot, Hash> copy = table;
  bool inserted = false;
  table.find_or_insert(~std::uint64_t{0} - 7, [] { return CountSlot{~std::uint64_t{0} - 7, 1}; },
                       inserted);
  table.change_each([](CountSlot& s) { ++s.count; });
  expect_consistent(copy, expected);
}

TEST(ProbingTableTest, GrowingTableKeepsItsInvariantsThroughGrowth) {
  for (unsigned seed = 0; seed < 6; ++seed) {
    SCOPED_TRACE(seed);
    check_random_inserts<MurmurMix>(seed, 0);
    check_random_inserts<MurmurMix>(seed, 700);
    check_random_inserts<FibonacciMix>(seed, 0);
    check_random_inserts<FibonacciMix>(seed, 3000);
  }
}

TEST(ProbingTableTest, ATableForSomeKeysIsTheSmallestPowerOfTwoThatHoldsThemThreeQuartersFull) {
  using Table = GrowingTable<CountSlot, MurmurMix>;
  std::size_t slots = 16;
  for (std::size_t keys = 0; keys < (std::size_t{1} << 22); ++keys) {
    while (slots / 4 * 3 < keys) slots *= 2;
    ASSERT_EQ(Table::slots_for(keys), slots) << keys;
  }
  EXPECT_EQ(Table::slots_for((std::size_t{3} << 40) + 1), std::size_t{1} << 43);
}

TEST(ProbingTableTest, ReservedInsertsNeverGrow) {
  GrowingTable<CountSlot, MurmurMix> table;
  table.reserve(1000);
  const std::size_t slots = table.slot_count();
  std::unordered_map<std::uint64_t, std::uint64_t> expected;
  for (std::uint64_t key = 0; key < 1000; ++key) {
    bool inserted = false;
    table.find_or_insert_reserved(key << 32, table.hash(key << 32),
                                  [&] { return CountSlot{key << 32, key + 1}; }, inserted);
    EXPECT_TRUE(inserted);
    expected[key << 32] = key + 1;
  }
  EXPECT_EQ(table.slot_count(), slots);
  expect_consistent(table, expected);
}

TEST(ProbingTableTest, AReadOnlyTableFindsWhatAWriterPutInAnySizeOfTable) {
  for (const std::size_t slots : {std::size_t{2}, std::size_t{3}, std::size_t{17},
                                  std::size_t{1000}}) {
    std::vector<CountSlot> storage(slots);
    ProbingTable<CountSlot, MurmurMix, AnySizeHome> writer(storage.data(), slots);
    const std::size_t keys = slots - 1;  // one slot stays empty
    for (std::uint64_t key = 0; key < keys; ++key) {
      CountSlot* slot = writer.probe(key * 977);
      ASSERT_TRUE(slot->empty());
      *slot = CountSlot{key * 977, key + 1};
    }
    const ProbingTable<const CountSlot, MurmurMix, AnySizeHome> reader(storage.data(), slots);
    for (std::uint64_t key = 0; key < keys; ++key) {
      const CountSlot* slot = reader.find(key * 977);
      ASSERT_NE(slot, nullptr);
      EXPECT_EQ(slot->count, key + 1);
    }
    EXPECT_EQ(reader.find(5), nullptr);
  }
}

}  // namespace
}  // namespace internal
}  // namespace qelt
