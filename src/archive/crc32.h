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

// The CRC-32 of bytes A followed by bytes B from the CRC-32 of each and the
// length of B, so that parts of a block can be checked on several threads.
uint32_t crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lenB);

// The table-driven path without processor-specific instructions.
uint32_t crc32Portable(uint32_t crc, const uint8_t* data, size_t len);

}  // namespace pelko
