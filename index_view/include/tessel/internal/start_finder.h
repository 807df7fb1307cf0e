#pragma once

// The positions of a text where a scan's walks may start, from each byte's class: sixteen
// bytes per step with SSSE3 and POPCNT where the processor has them (two table lookups by
// nibble a class), a byte per step elsewhere. The scalar loop cost a scan of prose about a
// sixth of its instructions.

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <tmmintrin.h>
#define TESSEL_START_FINDER_SSSE3 1
#endif

namespace Tessel {
namespace internal {

class StartFinder {
 public:
  static constexpr unsigned char kStarts = 1;  // a key may begin with the byte
  static constexpr unsigned char kWord = 2;    // a word byte
  // find() may write this many positions past its limit.
  static constexpr std::size_t kOver = 16;

  // Takes each byte's class, kStarts and kWord bits.
  void set(const unsigned char classes[256]) {
    for (unsigned half = 0; half < 2; ++half) {
      for (unsigned low = 0; low < 16; ++low) {
        unsigned char starts = 0, word = 0;
        for (unsigned high = 0; high < 8; ++high) {
          const unsigned char c = classes[(half * 8 + high) * 16 + low];
          if (c & kStarts) starts = static_cast<unsigned char>(starts | (1u << high));
          if (c & kWord) word = static_cast<unsigned char>(word | (1u << high));
        }
        starts_[half][low] = starts;
        words_[half][low] = word;
      }
    }
    for (unsigned c = 0; c < 256; ++c) classes_[c] = classes[c];
  }

  // The class of byte c, as set() took it.
  unsigned char classOf(unsigned char c) const { return classes_[c]; }

  // Appends to out[n ..] the positions p from `from` on, below `stop`, whose byte may start a
  // key; with `boundaries`, only those that do not continue a word (a word byte after a word
  // byte). Stops once n reaches `limit` (out has room for limit + kOver) and returns the
  // position after the last byte looked at.
  std::size_t find(const unsigned char* text, std::size_t from, std::size_t stop, bool boundaries,
                   std::size_t* out, std::size_t& n, std::size_t limit) const {
#ifdef TESSEL_START_FINDER_SSSE3
    if (hasVectorPath()) from = findVector(text, from, stop, boundaries, out, n, limit);
#endif
    return findScalar(text, from, stop, boundaries, out, n, limit);
  }

  // find() a byte at a time, whatever the processor has.
  std::size_t findScalar(const unsigned char* text, std::size_t p, std::size_t stop,
                         bool boundaries, std::size_t* out, std::size_t& n,
                         std::size_t limit) const {
    // Each byte's position is written and kept when it may start a match: no branch to
    // mispredict on prose, where that changes every few bytes.
    if (!boundaries) {
      for (; p < stop && n < limit; ++p) {
        out[n] = p;
        n += classes_[text[p]] & kStarts;
      }
      return p;
    }
    unsigned previous = p == 0 ? 0 : classes_[text[p - 1]];
    for (; p < stop && n < limit; ++p) {
      const unsigned c = classes_[text[p]];
      out[n] = p;
      n += (c & kStarts) & ~((c & previous) >> 1);
      previous = c;
    }
    return p;
  }

#ifdef TESSEL_START_FINDER_SSSE3
  // find() sixteen bytes at a time, up to the last whole sixteen before `stop`.
  __attribute__((target("ssse3,popcnt"))) std::size_t findVector(const unsigned char* text,
                                                                 std::size_t p, std::size_t stop,
                                                                 bool boundaries, std::size_t* out,
                                                                 std::size_t& n,
                                                                 std::size_t limit) const {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    // The bit of a byte's high nibble, 0 to 7 for the ASCII half and again for the other.
    const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m128i startsLow = load(starts_[0]), startsHigh = load(starts_[1]);
    const __m128i wordsLow = load(words_[0]), wordsHigh = load(words_[1]);
    unsigned carry = p != 0 && (classes_[text[p - 1]] & kWord) != 0 ? 1 : 0;
    std::size_t count = n;
    for (; p + 16 <= stop && count < limit; p += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p));
      const __m128i lowNibbles = _mm_and_si128(v, nibble);
      const __m128i bit = _mm_shuffle_epi8(bits, _mm_and_si128(_mm_srli_epi16(v, 4), nibble));
      const __m128i upper = _mm_cmplt_epi8(v, _mm_setzero_si128());  // bytes from 0x80
      unsigned keep = in(startsLow, startsHigh, lowNibbles, upper, bit);
      if (boundaries) {
        const unsigned word = in(wordsLow, wordsHigh, lowNibbles, upper, bit);
        keep &= ~(word & ((word << 1) | carry));
        carry = word >> 15;
      }
      // Eight places are written whatever the count, sixteen past eight: a loop that ended
      // with the count was a guess lost on about every other step of prose.
      const auto kept = static_cast<std::size_t>(__builtin_popcount(keep));
      keep = writeEight(out + count, p, keep);
      if (kept > 8) writeEight(out + count + 8, p, keep);
      count += kept;
    }
    n = count;
    return p;
  }

  // Writes p plus the places of the lowest eight bits of `keep` to to[0 .. 8), past its last
  // bit p + 16, and returns `keep` without them.
  static unsigned writeEight(std::size_t* to, std::size_t p, unsigned keep) {
    for (int i = 0; i < 8; ++i) {
      to[i] = p + static_cast<std::size_t>(__builtin_ctz(keep | 0x10000u));
      keep &= keep - 1;
    }
    return keep;
  }

  // A bit for each of sixteen bytes: whether it is in the class of tables `low` and `high`,
  // given its low nibbles, whether it is from 0x80 (`upper`) and the bit of its high nibble.
  __attribute__((target("ssse3"))) static unsigned in(__m128i low, __m128i high, __m128i lowNibbles,
                                                      __m128i upper, __m128i bit) {
    const __m128i row = _mm_or_si128(_mm_andnot_si128(upper, _mm_shuffle_epi8(low, lowNibbles)),
                                     _mm_and_si128(upper, _mm_shuffle_epi8(high, lowNibbles)));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(row, bit), bit)));
  }

  __attribute__((target("ssse3"))) static __m128i load(const unsigned char (&table)[16]) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(table));
  }

  // Whether the processor has what findVector() uses.
  static bool hasVectorPath() {
    static const bool has = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
    return has;
  }
#endif

 private:
  unsigned char classes_[256] = {};
  // By half (bytes below 0x80, from 0x80) and low nibble: bit h for the byte of high nibble h
  // (h + 8 in the upper half) in the class.
  unsigned char starts_[2][16] = {};
  unsigned char words_[2][16] = {};
};

}  // namespace internal
}  // namespace Tessel
