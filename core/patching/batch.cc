// Batches concatenate the ends of their documents into one array, with an array of
// offsets saying where each document's ends begin: two allocations for the whole
// batch instead of one per document, and exactly the layout of an Arrow list array.

#include "batch.h"

#include "patching.h"

namespace qelt {

void append_limited_ends(const std::vector<std::size_t>& ends, std::size_t max_length,
                         std::vector<std::size_t>& out) {
  if (max_length == 0) {
    out.insert(out.end(), ends.begin(), ends.end());
    return;
  }
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    // Full pieces while more than max_length bytes are left, then the rest.
    while (end - begin > max_length) {
      begin += max_length;
      out.push_back(begin);
    }
    out.push_back(end);
    begin = end;
  }
}

std::vector<std::size_t> limit_patch_length(std::vector<std::size_t> ends,
                                            std::size_t max_length) {
  std::size_t begin = 0;
  bool any_long = false;
  for (const std::size_t end : ends) {
    any_long |= max_length != 0 && end - begin > max_length;
    begin = end;
  }
  if (!any_long) return ends;
  std::vector<std::size_t> limited;
  append_limited_ends(ends, max_length, limited);
  return limited;
}

BatchEnds patch_ends_batch(const ByteSpan* documents, std::size_t count, std::int32_t k,
                           Thresholds thresholds, std::size_t max_length) {
  return patch_ends_batch(documents, count, max_length,
                          [=](const std::uint8_t* data, std::size_t size) {
                            return patch_ends(data, size, k, thresholds);
                          });
}

}  // namespace qelt
