// Entropy patching in two passes over the sequence. The first trains an order-k
// context model on every position that has k bytes before it; the second walks the
// sequence again, appending each byte to the current patch and closing the patch at
// a byte whose context entropy passes a threshold. Since the model is complete
// before any boundary is decided, the entropy at a position already counts that
// position's own byte and every later occurrence of the same context.

#include "patching.h"

#include <string>

#include "frequency_table.h"

namespace qelt {

namespace {

ByteString context_before(const ByteSequence& bytes, std::size_t i, std::size_t k) {
  return ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(i - k),
                    bytes.begin() + static_cast<std::ptrdiff_t>(i));
}

}  // namespace

PatchList patch_sequence(const ByteSequence& bytes, std::int32_t k, float theta,
                         float theta_r) {
  const std::size_t n = bytes.size();
  // Positions are sizes; k compares as the unsigned value of the same width, which
  // makes a negative k larger than any position.
  const std::size_t context_length = static_cast<std::size_t>(k);

  FrequencyTable model;
  for (std::size_t i = context_length; i < n; ++i) {
    model.update(context_before(bytes, i, context_length), bytes[i]);
  }

  PatchList patches;
  ByteSequence current_patch;
  float previous_entropy = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    current_patch.push_back(bytes[i]);
    if (i < context_length) continue;
    const float entropy = model.compute_entropy(context_before(bytes, i, context_length));
    // The rise is formed in double so that it is not rounded before the comparison.
    if (entropy > theta ||
        static_cast<double>(entropy) - static_cast<double>(previous_entropy) > theta_r) {
      patches.push_back(current_patch);
      current_patch.clear();
    }
    previous_entropy = entropy;
  }
  if (!current_patch.empty()) patches.push_back(std::move(current_patch));
  return patches;
}

}  // namespace qelt
