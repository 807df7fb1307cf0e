#pragma once

// The index file format. Every reader and writer of index files in this project takes the
// format's rules from here.
//
// An index file is an array of units and nothing else: no header, no trailer. Unit p is the
// 8 bytes at offset 8p, a signed 32-bit base then an unsigned 32-bit check, in the host's byte
// order (the file is the image of the array in memory; little-endian on x86-64).
//
// - Unit 0 is the root: base 1, check 0.
// - An edge of the trie carries a code: 0 ends a key, byte + 1 (1 to 256) follows a byte.
// - A node whose base is b >= 1 has its child for code c at unit b + c, and that unit's check
//   is b. No two groups of siblings share a base.
// - The unit reached by code 0 ends a key; its base is ~value (that is, -value - 1), always
//   negative.
// - Free units are (0, 0). The last 257 units are free, so b + c never leaves the file.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace Tessel {
namespace Format {

constexpr std::size_t kUnitBytes = 8;
constexpr std::size_t kEndCode = 0;
constexpr std::size_t kMaxCode = 256;
// Units past the last one used, so that any base plus any code stays inside the file.
constexpr std::size_t kTailUnits = kMaxCode + 1;
// The smallest index: the root and the tail.
constexpr std::size_t kMinUnits = 1 + kTailUnits;
constexpr std::int32_t kRootBase = 1;
// Positions and values are held in signed 32-bit fields.
constexpr std::size_t kMaxUnits = std::size_t{1} << 31;
constexpr std::int32_t kMaxValue = std::numeric_limits<std::int32_t>::max();

// The code of the edge that follows the byte `byte`.
constexpr std::size_t codeOf(unsigned char byte) {
  return std::size_t{byte} + 1;
}

// The base of the unit that ends a key whose value is `value` (>= 0): ~value, which is
// -value - 1 without the overflow of negating the smallest value.
template <class Base>
constexpr Base encodeValue(Base value) {
  return static_cast<Base>(~value);
}

// The value held by a unit whose base is `base`, or -1 when it holds none.
constexpr long decodeValue(std::int32_t base) {
  return base < 0 ? static_cast<long>(~base) : -1;
}

// Whether a file of `bytes` bytes can hold an index: whole units, the root and the tail.
constexpr bool validSize(std::size_t bytes) {
  return bytes % kUnitBytes == 0 && bytes / kUnitBytes >= kMinUnits;
}

// The fields of unit `unit` of the units at `units`, which need no alignment.
inline std::int32_t baseAt(const unsigned char* units, std::size_t unit) {
  std::int32_t base;
  std::memcpy(&base, units + unit * kUnitBytes, sizeof base);
  return base;
}
inline std::uint32_t checkAt(const unsigned char* units, std::size_t unit) {
  std::uint32_t check;
  std::memcpy(&check, units + unit * kUnitBytes + sizeof(std::int32_t), sizeof check);
  return check;
}

}  // namespace Format
}  // namespace Tessel
