// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320), the checksum every
// archive entry keeps over its compressed block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelko {

// The CRC-32 of `len` bytes; 0 for no bytes.
uint32_t crc32(const uint8_t* data, size_t len);

// Continues a CRC-32: `crc` is the finished CRC of the bytes before `data`
// (0 to start), the result the finished CRC of them all.
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t len);

// The table-driven path without processor-specific instructions.
uint32_t crc32Portable(uint32_t crc, const uint8_t* data, size_t len);

}  // namespace pelko
