// Little-endian integers at any address (internal): the byte order of every file the
// core writes, whatever the host's.
#ifndef QELT_CORE_UTIL_LITTLE_ENDIAN_H_
#define QELT_CORE_UTIL_LITTLE_ENDIAN_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qelt {
namespace internal {

template <typename T>
T load_le(const std::uint8_t* p) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(p[i]) << (8 * i);
  return value;
}

template <typename T>
void store_le(std::uint8_t* p, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t float_bits(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

inline float bits_float(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_LITTLE_ENDIAN_H_
