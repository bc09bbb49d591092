// A small object that holds a sequence and gives back its patched form.
#ifndef QELT_CORE_PATCHER_H_
#define QELT_CORE_PATCHER_H_

#include <cstdint>
#include <vector>

#include "frequency_table.h"

namespace qelt {

// Holds the sequence last given to patch_sequence; empty when new or after reset.
class Patcher {
 public:
  Patcher() = default;

  // Stores `sequence` as both the source and the patched sequence, replacing what
  // was held. `indices` is accepted for the interface's sake and never read.
  void patch_sequence(const ByteString& sequence, std::vector<std::int32_t>& indices);

  // A copy of the patched sequence; empty when nothing is held.
  ByteString get_patched_sequence() const;

  // Returns to the empty state; harmless when already empty.
  void reset();

 private:
  ByteString source_sequence;
  ByteString patched_sequence;
};

}  // namespace qelt

#endif  // QELT_CORE_PATCHER_H_
