// Entropy patching: cutting a byte sequence after the bytes that are hard to predict.
#ifndef QELT_CORE_PATCHING_H_
#define QELT_CORE_PATCHING_H_

#include <cstdint>
#include <vector>

namespace qelt {

// An ordered, growable sequence of byte values.
using ByteSequence = std::vector<std::uint8_t>;

// Consecutive non-empty pieces of a sequence whose concatenation is that sequence.
using PatchList = std::vector<ByteSequence>;

// Cuts `bytes` into patches with an order-`k` context model trained on `bytes`
// itself: a patch ends at position i >= k when the entropy H of the context before i
// is above `theta`, or rose over the previous position's entropy by more than
// `theta_r`. A negative `k` acts as a context longer than any sequence. Never fails
// but for std::bad_alloc (or std::overflow_error when a context recurs 2^31 times).
PatchList patch_sequence(const ByteSequence& bytes, std::int32_t k, float theta,
                         float theta_r);

}  // namespace qelt

#endif  // QELT_CORE_PATCHING_H_
