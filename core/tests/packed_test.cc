#include "packed.h"

#include <gtest/gtest.h>

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
    for (auto& length : lengths) total += length = 1 + random() % (round % 3 == 0 ? 2 : 30);
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

}  // namespace
}  // namespace qelt
