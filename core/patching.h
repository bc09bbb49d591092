// Entropy patching: cutting a byte sequence after the bytes that are hard to predict.
#ifndef QELT_CORE_PATCHING_H_
#define QELT_CORE_PATCHING_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "thresholds.h"

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

// The same patches of the `n` bytes at `data`, given as the offset just past each
// one: patch j is [ends[j - 1], ends[j]), with ends[-1] taken as 0; the last end is
// `n`, and no end is repeated. A few bytes per patch instead of a vector each.
std::vector<std::size_t> patch_ends(const std::uint8_t* data, std::size_t n, std::int32_t k,
                                    Thresholds thresholds);

// The patch ends of `n` bytes whose entropies (nats) are given, one per byte, cut by
// the rules above: each position i >= `first` closes its patch when its entropy is
// above theta, or else rose by more than theta_r over the entropy at i - 1 (over 0.0
// at i = `first`); positions before `first` are not judged; the last byte always ends
// the last patch. Throws std::invalid_argument, naming the position, for a NaN entropy
// at any position.
std::vector<std::size_t> patch_ends_from_entropies(const float* entropies, std::size_t n,
                                                   std::size_t first, Thresholds thresholds);

// The same ends, written to `out`, which has room for n + 1 of them (a position past
// the last written may be written too); returns how many there are.
std::size_t patch_ends_from_entropies(const float* entropies, std::size_t n, std::size_t first,
                                      Thresholds thresholds, std::size_t* out);

}  // namespace qelt

#endif  // QELT_CORE_PATCHING_H_
