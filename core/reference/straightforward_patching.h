// Entropy patching exactly as defined, on a FrequencyTable: the reference that the
// fast implementation is held to. Slow (1 KiB and up to 256 logarithms per context).
#ifndef QELT_CORE_REFERENCE_STRAIGHTFORWARD_PATCHING_H_
#define QELT_CORE_REFERENCE_STRAIGHTFORWARD_PATCHING_H_

#include <string>
#include <vector>

#include "frequency_table.h"
#include "patching.h"

namespace qelt {
namespace testing {

// The entropy at every evaluated position k .. n - 1, from a table trained on all.
inline std::vector<float> straightforward_entropies(const ByteSequence& bytes, std::int32_t k) {
  const std::size_t n = bytes.size();
  const std::size_t context_length = static_cast<std::size_t>(k);
  auto context_before = [&](std::size_t i) {
    return ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(i - context_length),
                      bytes.begin() + static_cast<std::ptrdiff_t>(i));
  };
  FrequencyTable model;
  for (std::size_t i = context_length; i < n; ++i) model.update(context_before(i), bytes[i]);
  std::vector<float> entropies;
  for (std::size_t i = context_length; i < n; ++i) {
    entropies.push_back(model.compute_entropy(context_before(i)));
  }
  return entropies;
}

// The patches cut where `entropies` (those of straightforward_entropies) call for it.
inline PatchList patches_at_entropies(const ByteSequence& bytes, std::int32_t k,
                                      const std::vector<float>& entropies, float theta,
                                      float theta_r) {
  const std::size_t n = bytes.size();
  const std::size_t context_length = static_cast<std::size_t>(k);
  PatchList patches;
  ByteSequence current_patch;
  float previous_entropy = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    current_patch.push_back(bytes[i]);
    if (i < context_length) continue;
    const float entropy = entropies[i - context_length];
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

inline PatchList straightforward_patch_sequence(const ByteSequence& bytes, std::int32_t k,
                                                float theta, float theta_r) {
  return patches_at_entropies(bytes, k, straightforward_entropies(bytes, k), theta, theta_r);
}

}  // namespace testing
}  // namespace qelt

#endif  // QELT_CORE_REFERENCE_STRAIGHTFORWARD_PATCHING_H_
