// Dense ids for the fixed-length windows of a byte sequence (internal to patching).
#ifndef QELT_CORE_PATCHING_WINDOW_IDS_H_
#define QELT_CORE_PATCHING_WINDOW_IDS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/big_buffer.h"

namespace qelt {
namespace internal {

// Windows of one length, each given a dense id: two windows get the same id exactly
// when their bytes are equal. Ids are handed out in order of first appearance.
template <typename Id>
struct WindowIds {
  BigVector<Id> of;             // of[j]: the id of the j-th window
  std::vector<Id> occurrences;  // occurrences[id]: how many of the windows have it
};

// The windows of `length` >= 1 bytes starting at 0, 1, ..., size - length. Requires
// length <= size and size < the largest Id. Throws only std::bad_alloc.
template <typename Id>
WindowIds<Id> window_ids(const std::uint8_t* data, std::size_t size, std::size_t length);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_PATCHING_WINDOW_IDS_H_
