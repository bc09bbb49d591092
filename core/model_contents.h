// What a context model holds, as it is made and before it is laid out in a file.
#ifndef QELT_CORE_MODEL_CONTENTS_H_
#define QELT_CORE_MODEL_CONTENTS_H_

#include <cstdint>
#include <vector>

namespace qelt {

// How a model's next-byte distributions were estimated from counts.
enum class Smoothing : std::uint32_t {
  // The counts as they are: a byte never seen after a context has probability 0, and
  // a context's entropy is that of its counts, as the module qelt computes it.
  kNone = 0,
  // Interpolated modified Kneser-Ney (docs/formats.md, "Model file"): every byte has a
  // probability above 0.
  kKneserNey = 1,
};

// A context of a model: its bytes packed into an integer, the byte just before the
// position in the lowest 8 bits, and the entropy (nats) of its next-byte distribution.
struct ContextEntropy {
  std::uint64_t key;
  float entropy;
};

// The contexts of one length, sorted by key with no key repeated, and the next-byte
// distribution of each: the probabilities of the bytes listed for it, and for every
// other byte, `weight` times its probability after the context one byte shorter
// (after none, 1/256). Without smoothing the weight is 0.
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
