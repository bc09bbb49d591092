// The 64-bit finaliser of MurmurHash3 (internal to context counts and models).
#ifndef QELT_CORE_FMIX64_H_
#define QELT_CORE_FMIX64_H_

#include <cstdint>

namespace qelt {
namespace internal {

// Mixes `key` so that every bit of it affects every bit of the result. Model files
// place their contexts by it, so it must never change.
inline std::uint64_t fmix64(std::uint64_t key) {
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdULL;
  key ^= key >> 33;
  key *= 0xc4ceb9fe1a85ec53ULL;
  key ^= key >> 33;
  return key;
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_FMIX64_H_
