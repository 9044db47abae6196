// CRC-32: folding with carry-less multiplication where the processor has it
// (checked at run time), and slicing-by-8 with tables computed at compile time
// everywhere else and for the tails; and the CRC of two parts joined.
#include "archive/crc32.h"

#include <array>
#include <cassert>
#include <cstring>

#include "codec/byte_order.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pelko {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (int s = 1; s < 8; ++s)
        for (uint32_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr Tables kTables = makeTables();

}  // namespace

uint32_t crc32Portable(uint32_t crc, const uint8_t* data, size_t len) {
    uint32_t c = ~crc;
    while (len >= 8) {
        uint32_t a = loadLE32(data) ^ c;
        uint32_t b = loadLE32(data + 4);
        c = kTables[7][a & 0xFF] ^ kTables[6][(a >> 8) & 0xFF] ^ kTables[5][(a >> 16) & 0xFF] ^
            kTables[4][a >> 24] ^ kTables[3][b & 0xFF] ^ kTables[2][(b >> 8) & 0xFF] ^
            kTables[1][(b >> 16) & 0xFF] ^ kTables[0][b >> 24];
        data += 8;
        len -= 8;
    }
    while (len--) c = kTables[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    return ~c;
}

#if defined(__x86_64__)
namespace {

#define PELKO_CLMUL __attribute__((target("pclmul,sse4.1")))

PELKO_CLMUL inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Multiplies both halves of `x` by the folding constants in `k` and adds the
// next 128 bits.
PELKO_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Folds 64 bytes at a time in four lanes, then down to 128 bits, then
// reduces to 32 bits (Barrett). `len` is at least 64 and a multiple of 16;
// `state` and the result are the inverted CRC register.
PELKO_CLMUL uint32_t foldClmul(uint32_t state, const uint8_t* buf, size_t len) {
    assert(len >= 64 && len % 16 == 0);
    alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};

    __m128i x1 = _mm_xor_si128(load(buf), _mm_cvtsi32_si128(int(state)));
    __m128i x2 = load(buf + 16), x3 = load(buf + 32), x4 = load(buf + 48);
    buf += 64;
    len -= 64;
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    while (len >= 64) {
        x1 = fold(x1, k, load(buf));
        x2 = fold(x2, k, load(buf + 16));
        x3 = fold(x3, k, load(buf + 32));
        x4 = fold(x4, k, load(buf + 48));
        buf += 64;
        len -= 64;
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = fold(x1, k, x2);
    x1 = fold(x1, k, x3);
    x1 = fold(x1, k, x4);
    while (len >= 16) {
        x1 = fold(x1, k, load(buf));
        buf += 16;
        len -= 16;
    }
    // 128 bits to 64.
    __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00), x2);
    // Barrett reduction to 32 bits.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return uint32_t(_mm_extract_epi32(x1, 1));
}

bool haveClmul() {
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return have;
}

}  // namespace
#endif

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t len) {
#if defined(__x86_64__)
    if (len >= 64 && haveClmul()) {
        size_t bulk = len & ~size_t(15);
        crc = ~foldClmul(~crc, data, bulk);
        data += bulk;
        len -= bulk;
    }
#endif
    return crc32Portable(crc, data, len);
}

uint32_t crc32(const uint8_t* data, size_t len) {
    return crc32Update(0, data, len);
}

namespace {

// Products of polynomials over GF(2) modulo the CRC's, in its reflected bit
// order (x^0 in the top bit).
constexpr uint32_t multiplyModP(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
    }
    return product;
}

// x^(2^k) modulo the CRC's polynomial, for k = 0..66: enough for any 64-bit length in bytes.
constexpr std::array<uint32_t, 67> makePowers() {
    std::array<uint32_t, 67> powers{};
    powers[0] = 1u << 30;  // x^1
    for (size_t k = 1; k < powers.size(); ++k)
        powers[k] = multiplyModP(powers[k - 1], powers[k - 1]);
    return powers;
}
constexpr std::array<uint32_t, 67> kPowers = makePowers();

}  // namespace

// Appending n bytes of zeros multiplies the CRC's register by x^(8n); the
// bytes B then add their own CRC, which starts from the same inverted zero.
uint32_t crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lenB) {
    uint32_t shift = 1u << 31;  // x^0
    for (unsigned k = 3; lenB != 0; lenB >>= 1, ++k)
        if (lenB & 1) shift = multiplyModP(kPowers[k], shift);
    return multiplyModP(shift, crcA) ^ crcB;
}

}  // namespace pelko
