// CRC-32C (Castagnoli), the checksum of model files (internal).
#ifndef QELT_CORE_UTIL_CRC32C_H_
#define QELT_CORE_UTIL_CRC32C_H_

#include <cstddef>
#include <cstdint>

namespace qelt {

// The CRC-32C of the `size` bytes at `data` (reflected polynomial 0x82F63B78, initial
// value and final xor 0xFFFFFFFF): crc32c("123456789") is 0xE3069283.
std::uint32_t crc32c(const std::uint8_t* data, std::size_t size);

}  // namespace qelt

#endif  // QELT_CORE_UTIL_CRC32C_H_
