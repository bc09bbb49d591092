#include "packed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "reference/straightforward_patch_starts.h"

namespace qelt {
namespace {

std::vector<std::uint8_t> starts_of(const std::vector<std::uint32_t>& lengths, std::uint64_t first,
                                    std::uint64_t begin, std::uint64_t end) {
  std::vector<std::uint8_t> out(end - begin, 7);
  mark_patch_starts(lengths.data(), lengths.size(), first, begin, end, out.data());
  return out;
}

TEST(PatchStartsTest, EveryStretchOfRandomPatchesAsDefined) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint32_t> lengths(random() % 40);
    std::uint64_t total = 0;
    // Some rounds with patches of no bytes (a damaged shard may hold them), the last
    // ones too: each still starts where it is.
    const bool empty_patches = round % 4 == 1;
    for (auto& length : lengths) {
      total += length = empty_patches ? random() % 3 : 1 + random() % (round % 3 == 0 ? 2 : 30);
    }
    const std::uint64_t first = random() % 5;
    const std::uint64_t begin = first + random() % (total + 3);
    const std::uint64_t end = begin + random() % (total + 5);
    ASSERT_EQ(starts_of(lengths, first, begin, end),
              testing::straightforward_patch_starts(lengths, first, begin, end))
        << "round " << round;
  }
}

TEST(PatchStartsTest, HugeLengthsAndPositionsStayInsideTheStretch) {
  const std::uint32_t most = std::numeric_limits<std::uint32_t>::max();
  const std::uint64_t far = std::numeric_limits<std::uint64_t>::max() - 10;
  EXPECT_EQ(starts_of({most, most, 3}, far, far, far + 8),
            (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(starts_of({5, most, 2}, far, far + 3, far + 10),
            (std::vector<std::uint8_t>{0, 0, 1, 0, 0, 0, 0}));
  EXPECT_EQ(starts_of({2, 0, 0, 3}, 0, 1, 6), (std::vector<std::uint8_t>{0, 1, 0, 0, 0}));
  EXPECT_TRUE(starts_of({}, 0, 0, 0).empty());
}

// Every stretch of a shard read through block starts, for blocks of every size, against
// the definition: the block index decides only where reading begins.
TEST(ReadStretchTest, EveryStretchThroughEveryBlockSize) {
  std::mt19937_64 random(5);
  std::vector<std::uint32_t> lengths(300);
  std::uint64_t size = 0;
  for (auto& length : lengths) size += length = 1 + random() % 9;
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  for (const std::size_t block : {1, 2, 7, 16, 17, 64, 299, 300, 1000}) {
    std::vector<std::uint64_t> sums((lengths.size() + block - 1) / block);
    sum_length_blocks(lengths.data(), lengths.size(), block, sums.data());
    std::vector<std::uint64_t> starts(sums.size(), 0);
    for (std::size_t b = 1; b < starts.size(); ++b) starts[b] = starts[b - 1] + sums[b - 1];
    ASSERT_EQ(starts.back() + sums.back(), size);
    const PackedShard shard{bytes.data(), size, lengths.data(), lengths.size(),
                            starts.data(), starts.size(), block};
    for (int round = 0; round < 200; ++round) {
      const std::uint64_t begin = random() % (size + 1);
      const std::uint64_t end = begin + random() % (size - begin + 1);
      std::vector<std::uint8_t> data(end - begin), marks(end - begin);
      read_stretch(shard, begin, end, data.data(), marks.data());
      ASSERT_TRUE(std::equal(data.begin(), data.end(), bytes.begin() + begin));
      ASSERT_EQ(marks, testing::straightforward_patch_starts(lengths, 0, begin, end))
          << "block " << block << " [" << begin << ", " << end << ")";
    }
  }
}

}  // namespace
}  // namespace qelt
