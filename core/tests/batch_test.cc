#include "batch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patching.h"

namespace qelt {
namespace {

using Ends = std::vector<std::size_t>;

TEST(LimitPatchLengthTest, CutsLongPatchesFromTheirStart) {
  EXPECT_EQ(limit_patch_length({3, 10, 11}, 0), (Ends{3, 10, 11}));
  EXPECT_EQ(limit_patch_length({3, 10, 11}, 7), (Ends{3, 10, 11}));
  EXPECT_EQ(limit_patch_length({3, 10, 11}, 3), (Ends{3, 6, 9, 10, 11}));
  EXPECT_EQ(limit_patch_length({3, 10, 11}, 1), (Ends{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(limit_patch_length({8}, 4), (Ends{4, 8}));
  EXPECT_EQ(limit_patch_length({}, 4), Ends{});
}

TEST(PatchEndsBatchTest, EachDocumentAsOnItsOwn) {
  const std::string text = "abcabdabcabe the cat sat on the mat, xyz";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::vector<ByteSpan> documents = {
      {bytes, 12}, {nullptr, 0}, {bytes + 12, 28}, {bytes + 5, 1}, {bytes, text.size()}};
  for (const std::size_t max_length : {std::size_t{0}, std::size_t{2}, std::size_t{5}}) {
    const BatchEnds batch = patch_ends_batch(documents.data(), documents.size(), 2,
                                             {0.5f, 10.0f}, max_length);
    ASSERT_EQ(batch.offsets.size(), documents.size() + 1);
    EXPECT_EQ(batch.offsets.front(), 0u);
    EXPECT_EQ(batch.offsets.back(), batch.ends.size());
    for (std::size_t i = 0; i < documents.size(); ++i) {
      const Ends expected =
          documents[i].size == 0
              ? Ends{}
              : limit_patch_length(
                    patch_ends(documents[i].data, documents[i].size, 2, {0.5f, 10.0f}),
                    max_length);
      const Ends got(batch.ends.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i]),
                     batch.ends.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i + 1]));
      EXPECT_EQ(got, expected) << "document " << i << ", max_length " << max_length;
    }
  }
}

}  // namespace
}  // namespace qelt
