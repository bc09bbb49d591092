// Patch ends from the entropy at every evaluated position (internal to patching).
#ifndef QELT_CORE_PATCHING_SEGMENT_H_
#define QELT_CORE_PATCHING_SEGMENT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "thresholds.h"

namespace qelt {
namespace internal {

// Which walk segment() takes: the fastest the processor offers, or the plain one
// (for tests, which hold the two to the same results).
enum class Walk { kFastest, kPlain };

// The ends of the patches of n bytes whose evaluated positions j = 0 .. evaluated - 1
// (position j + k of the bytes) have the entropies entropy[contexts[j]]. `out` is room
// for `evaluated` Ids and may be `contexts` itself; its contents are left undefined.
// Index is std::uint8_t or Id; Id is std::uint32_t or std::uint64_t and holds n.
template <typename Id, typename Index>
std::vector<std::size_t> segment(const Index* contexts, Id* out, std::size_t evaluated,
                                 const float* entropy, std::size_t n, std::size_t k,
                                 Thresholds thresholds, Walk walk = Walk::kFastest);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_PATCHING_SEGMENT_H_
