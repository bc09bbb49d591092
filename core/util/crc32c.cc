// CRC-32C a byte at a time from a 256-entry table, or eight bytes at a time with the
// SSE4.2 instruction where the processor has it (checked at run time): models of
// hundreds of megabytes are checked on every load, at several GB/s.

#include "util/crc32c.h"

#include <array>
#include <cstring>

namespace qelt {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78;

constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (kPolynomial & (0u - (crc & 1)));
    table[b] = crc;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = make_table();

std::uint32_t update_bytewise(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFF];
  return crc;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("sse4.2"))) std::uint32_t update_sse42(std::uint32_t crc,
                                                             const std::uint8_t* data,
                                                             std::size_t size) {
  std::uint64_t wide = crc;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);  // the instruction takes the bytes in memory order
    wide = __builtin_ia32_crc32di(wide, word);
  }
  return update_bytewise(static_cast<std::uint32_t>(wide), data + i, size - i);
}

bool has_sse42() { return __builtin_cpu_supports("sse4.2"); }
#endif

}  // namespace

std::uint32_t crc32c(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (has_sse42()) return ~update_sse42(crc, data, size);
#endif
  return ~update_bytewise(crc, data, size);
}

}  // namespace qelt
