// A patcher keeps two byte strings: the source it was given and the patched form it
// hands back. Patching leaves a sequence as it is, so both hold the same bytes.

#include "patcher.h"

namespace qelt {

void Patcher::patch_sequence(const ByteString& sequence,
                             std::vector<std::int32_t>& /*indices*/) {
  source_sequence = sequence;
  patched_sequence = sequence;
}

ByteString Patcher::get_patched_sequence() const { return patched_sequence; }

void Patcher::reset() {
  source_sequence.clear();
  patched_sequence.clear();
}

}  // namespace qelt
