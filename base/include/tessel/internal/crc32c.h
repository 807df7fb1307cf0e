#pragma once

// CRC-32C (Castagnoli) of a byte range, for the checksums of shard files: the processor's
// instruction where it has one (SSE4.2), a table of 8 x 256 words elsewhere.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define TESSEL_CRC32C_INSTRUCTION 1
#endif

namespace Tessel {
namespace internal {

class Crc32c {
 public:
  // The CRC-32C of size bytes at data, going on from `crc` (0 to start).
  static std::uint32_t update(std::uint32_t crc, const void* data, std::size_t size) {
#ifdef TESSEL_CRC32C_INSTRUCTION
    if (hasInstruction()) return updateFast(crc, static_cast<const unsigned char*>(data), size);
#endif
    return updateTable(crc, static_cast<const unsigned char*>(data), size);
  }

  static std::uint32_t updateTable(std::uint32_t crc, const unsigned char* p, std::size_t size) {
    static const Tables tables;
    crc = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      word ^= crc;
      crc = tables.t[7][word & 0xFF] ^ tables.t[6][(word >> 8) & 0xFF] ^
            tables.t[5][(word >> 16) & 0xFF] ^ tables.t[4][(word >> 24) & 0xFF] ^
            tables.t[3][(word >> 32) & 0xFF] ^ tables.t[2][(word >> 40) & 0xFF] ^
            tables.t[1][(word >> 48) & 0xFF] ^ tables.t[0][word >> 56];
    }
    while (size-- > 0) crc = tables.t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
  }

 private:
  struct Tables {
    std::uint32_t t[8][256];
    Tables() {
      for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
        t[0][i] = c;
      }
      for (int k = 1; k < 8; ++k) {
        for (std::uint32_t i = 0; i < 256; ++i)
          t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
      }
    }
  };

#ifdef TESSEL_CRC32C_INSTRUCTION
  static bool hasInstruction() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
  }
  __attribute__((target("sse4.2"))) static std::uint32_t updateFast(std::uint32_t crc,
                                                                    const unsigned char* p,
                                                                    std::size_t size) {
    std::uint64_t c = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      c = _mm_crc32_u64(c, word);
    }
    auto c32 = static_cast<std::uint32_t>(c);
    while (size-- > 0) c32 = _mm_crc32_u8(c32, *p++);
    return ~c32;
  }
#endif
};

}  // namespace internal
}  // namespace Tessel
