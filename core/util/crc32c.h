// CRC-32C (Castagnoli), the checksum of model files (internal).
#ifndef QELT_CORE_UTIL_CRC32C_H_
#define QELT_CORE_UTIL_CRC32C_H_

#include <cstddef>
#include <cstdint>

namespace qelt {

// The CRC-32C of the `size` bytes at `data` (reflected polynomial 0x82F63B78, initial
// value and final xor 0xFFFFFFFF): crc32c("123456789") is 0xE3069283.
std::uint32_t crc32c(const std::uint8_t* data, std::size_t size);

// The CRC-32C of bytes A then B, from `crc` the CRC-32C of A and the `size` bytes of B
// at `data`: crc32c(AB) == crc32c_extend(crc32c(A), B, |B|).
std::uint32_t crc32c_extend(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// The CRC-32C of bytes A then B from the CRC-32C of each and the length of B, without
// the bytes: what lets parts of a file written apart have one checksum.
std::uint32_t crc32c_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t size_b);

}  // namespace qelt

#endif  // QELT_CORE_UTIL_CRC32C_H_
