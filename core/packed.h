// Reading packed shards (docs/formats.md, "Packed shards"): where patches start.
#ifndef QELT_CORE_PACKED_H_
#define QELT_CORE_PACKED_H_

#include <cstddef>
#include <cstdint>

namespace qelt {

// Patches of `count` lengths, `lengths[0 .. count)`, laid end to end from position
// `first`: sets out[p - begin] to 1 for every position p in [begin, end) at which one of
// them starts, and to 0 for the others. Positions past the last patch are 0. Requires
// first <= begin <= end.
void mark_patch_starts(const std::uint32_t* lengths, std::size_t count, std::uint64_t first,
                       std::uint64_t begin, std::uint64_t end, std::uint8_t* out);

}  // namespace qelt

#endif  // QELT_CORE_PACKED_H_
