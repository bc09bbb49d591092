// Hash functions of the core's probing tables (internal).
#ifndef QELT_CORE_UTIL_HASH_H_
#define QELT_CORE_UTIL_HASH_H_

#include <cstdint>

namespace qelt {
namespace internal {

// The 64-bit finaliser of MurmurHash3: every bit of `key` affects every bit of the
// result. Model files place their contexts by it, so it must never change.
inline std::uint64_t fmix64(std::uint64_t key) {
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdULL;
  key ^= key >> 33;
  key *= 0xc4ceb9fe1a85ec53ULL;
  key ^= key >> 33;
  return key;
}

// fmix64 for keys of up to 64 bits, and a 128-bit key folded into one.
struct MurmurMix {
  std::uint64_t operator()(std::uint32_t key) const { return fmix64(key); }
  std::uint64_t operator()(std::uint64_t key) const { return fmix64(key); }
  std::uint64_t operator()(unsigned __int128 key) const {
    return fmix64(static_cast<std::uint64_t>(key) ^ fmix64(static_cast<std::uint64_t>(key >> 64)));
  }
};

// Fibonacci hashing: the key times 2^64 / golden ratio. One multiplication, with the
// well-mixed bits at the top, which is where the home-slot rules of probing_table.h
// take them from. For keys that are dense ids or packed bytes, read in input order.
struct FibonacciMix {
  static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
  std::uint64_t operator()(std::uint32_t key) const { return std::uint64_t{key} * kGolden; }
  std::uint64_t operator()(std::uint64_t key) const { return key * kGolden; }
  std::uint64_t operator()(unsigned __int128 key) const {
    const std::uint64_t high = static_cast<std::uint64_t>(key >> 64);
    const std::uint64_t low = static_cast<std::uint64_t>(key);
    return (low ^ ((high + 0x632BE59BD9B4E019ULL) * kGolden)) * kGolden;
  }
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_HASH_H_
