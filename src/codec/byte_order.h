// Byte order, in one place: little-endian 32-bit fields (the archive's and
// the block header's) and big-endian 64-bit loads and stores of bit streams,
// whose first bit is the most significant bit of their first byte.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>
#endif

namespace pelko {

inline std::uint32_t byteSwap32(std::uint32_t v) {
#if defined(_MSC_VER) && !defined(__clang__)
    return _byteswap_ulong(v);
#else
    return __builtin_bswap32(v);
#endif
}

inline std::uint64_t byteSwap64(std::uint64_t v) {
#if defined(_MSC_VER) && !defined(__clang__)
    return _byteswap_uint64(v);
#else
    return __builtin_bswap64(v);
#endif
}

inline std::uint32_t loadLE32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return std::endian::native == std::endian::little ? v : byteSwap32(v);
}

inline void storeLE32(std::uint8_t* p, std::uint32_t v) {
    if constexpr (std::endian::native != std::endian::little) v = byteSwap32(v);
    std::memcpy(p, &v, 4);
}

inline std::uint64_t loadBE64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return std::endian::native == std::endian::big ? v : byteSwap64(v);
}

inline void storeBE64(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native != std::endian::big) v = byteSwap64(v);
    std::memcpy(p, &v, 8);
}

}  // namespace pelko
