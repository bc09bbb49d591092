// What a context model holds, as it is made and before it is laid out in a file.
#ifndef QELT_CORE_MODEL_CONTENTS_H_
#define QELT_CORE_MODEL_CONTENTS_H_

#include <cstdint>
#include <vector>

namespace qelt {

// The longest context a model keeps, in bytes: its k is 0 to kMaxOrder, and it keeps
// contexts of kMaxOrder + 1 lengths at most.
constexpr int kMaxOrder = 8;

// A context of a model: its bytes packed into an integer, the byte just before the
// position in the lowest 8 bits, and the entropy (nats) of its next-byte distribution.
struct ContextEntropy {
  std::uint64_t key;
  float entropy;
};

// The contexts of one length, sorted by key with no key repeated, and the next-byte
// distribution of each: the probabilities of the bytes listed for it, and for every
// other byte, `weight` times its probability after the context one byte shorter
// (after none, the kind's floor probability: model_kinds.h). Without smoothing the
// weight is 0.
struct ModelOrder {
  std::vector<ContextEntropy> contexts;
  std::vector<float> weights;  // one per context, or none: all 0
  // The bytes of context c are pair_bytes[pair_ends[c - 1] .. pair_ends[c]) (from 0
  // for c = 0), ascending, with their probabilities in pair_probabilities. Empty
  // pair_ends: no context lists any byte.
  std::vector<std::uint64_t> pair_ends;
  std::vector<std::uint8_t> pair_bytes;
  std::vector<float> pair_probabilities;
};

}  // namespace qelt

#endif  // QELT_CORE_MODEL_CONTENTS_H_
