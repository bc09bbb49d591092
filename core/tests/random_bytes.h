// Test documents of random bytes, the same for a seed on every platform.
#ifndef QELT_CORE_TESTS_RANDOM_BYTES_H_
#define QELT_CORE_TESTS_RANDOM_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace qelt {

// `n` bytes each below `alphabet` (1 .. 256), drawn by a generator seeded with `seed`.
inline std::vector<std::uint8_t> random_bytes(std::size_t n, int alphabet, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> data(n);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng() % alphabet);
  return data;
}

}  // namespace qelt

#endif  // QELT_CORE_TESTS_RANDOM_BYTES_H_
