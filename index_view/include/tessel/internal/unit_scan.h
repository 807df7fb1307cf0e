#pragma once

// Scans over many units at once: the children of a node, found by comparing the check fields
// of four units per SSE2 instruction over the groups of codes the index uses, and the count of
// key ends. Each has a portable loop beside it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <tessel/internal/units.h>

namespace Tessel {
namespace internal {

// A set of codes, 0 to 256: the children of a node.
class ChildMask {
 public:
  void clear() { std::fill(words_, words_ + kWords, 0); }
  bool empty() const { return (words_[0] | words_[1] | words_[2] | words_[3] | words_[4]) == 0; }
  void add(std::size_t code) { words_[code / 64] |= std::uint64_t{1} << (code % 64); }
  // Adds the codes of `bits` (bit i is code 64 * word + i).
  void addWord(std::size_t word, std::uint64_t bits) { words_[word] |= bits; }
  // Removes and returns the smallest code, or -1 when the set is empty.
  int takeFirst() {
    for (int i = 0; i < kWords; ++i) {
      if (words_[i] != 0) {
        const int bit = __builtin_ctzll(words_[i]);
        words_[i] &= words_[i] - 1;
        return i * 64 + bit;
      }
    }
    return -1;
  }
  // Removes and returns the largest code, or -1 when the set is empty.
  int takeLast() {
    for (int i = kWords - 1; i >= 0; --i) {
      if (words_[i] != 0) {
        const int bit = 63 - __builtin_clzll(words_[i]);
        words_[i] &= ~(std::uint64_t{1} << bit);
        return i * 64 + bit;
      }
    }
    return -1;
  }

 private:
  static constexpr int kWords = 5;
  std::uint64_t words_[kWords] = {};
};

// The codes of all edges, learned in one pass: a unit u with check c can only be the child of
// code u - c. Listings then test only the units of these codes and find the same children, as
// every edge's code is among them.
struct EdgeCodes {
  bool endCode = false;              // whether some edge has code 0
  std::vector<std::uint8_t> groups;  // g for each four codes 4g .. 4g + 3 of which some edge
                                     // has one, 0 aside; ascending

  void learn(const Units& units) {
    learn(units, [] { return true; });
  }

  // learn(), asking keepGoing() between blocks of units: false when it stopped, and the codes
  // are then not learned.
  template <class KeepGoing>
  bool learn(const Units& units, KeepGoing&& keepGoing) {
    constexpr std::size_t kMaxCode = Format::kMaxCode;
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    std::uint8_t used[kMaxCode + 2] = {};  // the last one collects the units of no code
    for (std::size_t u = 0; u < units.count(); ++u) {
      if (u % kBlock == 0 && !keepGoing()) return false;
      const std::size_t c = units.check(u);
      const std::size_t code = u - c;  // wraps past kMaxCode when c > u
      used[c == 0 || code > kMaxCode ? kMaxCode + 1 : code] = 1;
    }
    endCode = used[0] != 0;
    for (std::uint32_t code = 1; code <= kMaxCode; ++code) {
      if (used[code] && (groups.empty() || groups.back() != code / 4)) {
        groups.push_back(static_cast<std::uint8_t>(code / 4));
      }
    }
    return true;
  }
};

// Sets `mask` to the codes of the children of a node whose base is `b`.
inline void findChildren(const Units& units, const EdgeCodes& codes, std::int32_t b,
                         ChildMask& mask) {
  constexpr std::size_t kMaxCode = Format::kMaxCode;
  mask.clear();
  if (b <= 0 || static_cast<std::size_t>(b) >= units.count()) return;
  const auto first = static_cast<std::size_t>(b);
  const std::size_t room = units.count() - first;  // codes below it stay inside the file
  const auto want = static_cast<std::uint32_t>(b);
  if (codes.endCode && units.check(first) == want) mask.add(0);
#if defined(__SSE2__)
  // Four units at once: their check fields side by side, compared in one instruction. The
  // bits of each word gather in a register.
  if (room >= (kMaxCode / 4 + 1) * 4) {
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(want));
    const unsigned char* data = units.data() + first * Format::kUnitBytes;
    std::uint64_t bits = 0;
    std::size_t word = 0;
    for (const std::uint8_t group : codes.groups) {
      if (group / 16u != word) {
        mask.addWord(word, bits);
        bits = 0;
        word = group / 16u;
      }
      const unsigned char* p = data + std::size_t{group} * 4 * Format::kUnitBytes;
      const __m128 low = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
      const __m128 high =
          _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
      const __m128i checks = _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
      const auto equal = static_cast<std::uint64_t>(
          _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(checks, wanted))));
      bits |= equal << (group % 16u * 4);
    }
    // The last group holds codes 256 to 259; those past 256 are no children.
    if (word == kMaxCode / 64) bits &= (std::uint64_t{2} << (kMaxCode % 64)) - 1;
    mask.addWord(word, bits);
    return;
  }
#endif
  for (const std::uint8_t group : codes.groups) {
    const std::size_t from = 4 * static_cast<std::size_t>(group);
    const std::size_t to = std::min({from + 4, room, kMaxCode + 1});
    for (std::size_t code = from; code < to; ++code) {
      if (units.check(first + code) == want) mask.add(code);
    }
  }
}

// The number of units in [from, to) that end a key: a negative base and a non-zero check.
inline std::size_t countKeyEnds(const Units& units, std::size_t from, std::size_t to) {
  const std::size_t count = std::min(to, units.count());
  std::size_t found = 0;
  std::size_t u = from;
#if defined(__SSE2__)
  // Four units at once; each lane of `ends` counts down by one per key end, and is added up
  // before it could wrap.
  const __m128i zero = _mm_setzero_si128();
  while (u + 4 <= count) {
    __m128i ends = zero;
    for (const std::size_t stop = std::min(count, u + (std::size_t{1} << 30)); u + 4 <= stop;
         u += 4) {
      const unsigned char* p = units.data() + u * Format::kUnitBytes;
      const __m128 low = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
      const __m128 high =
          _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
      const __m128i bases = _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
      const __m128i checks = _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
      ends = _mm_add_epi32(
          ends, _mm_andnot_si128(_mm_cmpeq_epi32(checks, zero), _mm_srai_epi32(bases, 31)));
    }
    std::uint32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), ends);
    for (const std::uint32_t lane : lanes) found += std::uint32_t{0} - lane;
  }
#endif
  for (; u < count; ++u) found += units.base(u) < 0 && units.check(u) != 0;
  return found;
}
inline std::size_t countKeyEnds(const Units& units) {
  return countKeyEnds(units, 0, units.count());
}

}  // namespace internal
}  // namespace Tessel
