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

std::uint32_t crc32c_extend(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (has_sse42()) return ~update_sse42(~crc, data, size);
#endif
  return ~update_bytewise(~crc, data, size);
}

std::uint32_t crc32c(const std::uint8_t* data, std::size_t size) {
  return crc32c_extend(0, data, size);  // ~0 is the initial register
}

namespace {

// Polynomials over GF(2) modulo the CRC's, bit-reflected as the CRC is: the product of
// a and b.
std::uint32_t multiply(std::uint32_t a, std::uint32_t b) {
  std::uint32_t m = std::uint32_t{1} << 31, product = 0;
  for (;;) {
    if (a & m) {
      product ^= b;
      if ((a & (m - 1)) == 0) break;
    }
    m >>= 1;
    b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// x^(2^n) for n = 0 .. 63.
const std::array<std::uint32_t, 64> kPowers = [] {
  std::array<std::uint32_t, 64> powers{};
  powers[0] = std::uint32_t{1} << 30;  // x^1
  for (int n = 1; n < 64; ++n) powers[n] = multiply(powers[n - 1], powers[n - 1]);
  return powers;
}();

}  // namespace

std::uint32_t crc32c_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t size_b) {
  // Appending size_b bytes multiplies A's remainder by x^(8 size_b); the two
  // pre- and post-conditionings cancel out, as zlib's crc32_combine shows.
  std::uint32_t shift = std::uint32_t{1} << 31;  // x^0
  std::uint64_t bits = size_b;
  for (int n = 3; bits != 0; bits >>= 1, ++n) {
    if (bits & 1) shift = multiply(kPowers[n & 63], shift);
  }
  return multiply(shift, crc_a) ^ crc_b;
}

}  // namespace qelt
