// Patching many documents in one call, with an optional bound on patch length.
#ifndef QELT_CORE_BATCH_H_
#define QELT_CORE_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "thresholds.h"

namespace qelt {

// A document: `size` bytes at `data`, which may be null when `size` is 0.
struct ByteSpan {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The patch ends of many documents in two flat arrays, laid out as a list array: the
// ends of document i are ends[offsets[i]] .. ends[offsets[i + 1] - 1], each an offset
// within that document.
struct BatchEnds {
  std::vector<std::size_t> ends;
  std::vector<std::size_t> offsets;  // one more entry than there are documents
};

// Appends `ends` (the patch ends of one document) to `out`, first cutting every patch
// longer than `max_length` bytes into pieces of `max_length` bytes from its start, the
// last piece shorter. A `max_length` of 0 means no limit.
void append_limited_ends(const std::vector<std::size_t>& ends, std::size_t max_length,
                         std::vector<std::size_t>& out);

// `ends` with every patch longer than `max_length` cut as append_limited_ends does.
std::vector<std::size_t> limit_patch_length(std::vector<std::size_t> ends,
                                            std::size_t max_length);

// Patch ends of each of `count` documents, from `patch_ends(const std::uint8_t* data,
// std::size_t size)`, which returns those of one document, each limited to
// `max_length` (0: no limit). An empty document has no ends.
template <typename PatchEnds>
BatchEnds patch_ends_batch(const ByteSpan* documents, std::size_t count,
                           std::size_t max_length, const PatchEnds& patch_ends) {
  BatchEnds batch;
  batch.offsets.reserve(count + 1);
  batch.offsets.push_back(0);
  for (std::size_t i = 0; i < count; ++i) {
    if (documents[i].size != 0) {
      append_limited_ends(patch_ends(documents[i].data, documents[i].size), max_length,
                          batch.ends);
    }
    batch.offsets.push_back(batch.ends.size());
  }
  return batch;
}

// Each document patched on its own as patch_ends (patching.h) patches it.
BatchEnds patch_ends_batch(const ByteSpan* documents, std::size_t count, std::int32_t k,
                           Thresholds thresholds, std::size_t max_length);

}  // namespace qelt

#endif  // QELT_CORE_BATCH_H_
