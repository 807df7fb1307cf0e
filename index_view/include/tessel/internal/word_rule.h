#pragma once

// What words mode takes as a word, byte by byte: ASCII letters, digits and '_'; in well-formed
// UTF-8, the characters that are letters, marks, numbers or connector punctuation; every byte
// that is no part of well-formed UTF-8; and the characters a user adds. A place in a text is
// a word boundary unless the bytes on both sides of it are word bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tessel/internal/unicode_tables.h>

namespace Tessel {
namespace internal {

// The length of the well-formed UTF-8 sequence at s[0 .. n), its code point in `point`; 0
// when none begins there (a lone continuation byte, an overlong form, a surrogate, a code
// point past U+10FFFF, or a sequence cut short).
inline std::size_t decodeUtf8(const unsigned char* s, std::size_t n, std::uint32_t& point) {
  if (n == 0) return 0;
  const unsigned char c = s[0];
  if (c < 0x80) {
    point = c;
    return 1;
  }
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n < length || s[1] < low || s[1] > high) return 0;
  std::uint32_t value = c & (0xFFu >> (length + 1));
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (s[i] & 0x3Fu);
  }
  point = value;
  return length;
}

// Whether Unicode takes the code point as a letter, mark, number or connector punctuation.
inline bool isWordCodePoint(std::uint32_t point) {
  const auto* end = std::end(unicode::kWordRanges);
  const auto* range =
      std::upper_bound(std::begin(unicode::kWordRanges), end, point,
                       [](std::uint32_t p, const unicode::Range& r) { return p < r.first; });
  return range != std::begin(unicode::kWordRanges) && point <= (range - 1)->last;
}

class WordRule {
 public:
  WordRule() { set(std::string_view()); }

  // Takes the characters of `extra` (UTF-8; a byte that is no part of a character stands for
  // itself) as word characters too; with `lines`, never '\n', which ends a text then.
  void set(std::string_view extra, bool lines = false) {
    extra_.assign(extra.data(), extra.size());
    lines_ = lines;
    for (unsigned c = 0; c < 256; ++c) {
      const bool word =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
      kinds_[c] = c >= 0x80 ? kHigh : word ? kAsciiWord : 0;
    }
    points_.clear();
    const auto* s = reinterpret_cast<const unsigned char*>(extra.data());
    for (std::size_t i = 0; i < extra.size();) {
      std::uint32_t point;
      const std::size_t length = decodeUtf8(s + i, extra.size() - i, point);
      if (length == 1) {
        kinds_[point] = kAsciiWord;
      } else if (length > 1) {
        points_.push_back(point);
      }
      i += length == 0 ? 1 : length;  // a stray byte is a word byte already
    }
    std::sort(points_.begin(), points_.end());
    if (lines) kinds_[static_cast<unsigned char>('\n')] = 0;
  }
  // What set() was given.
  const std::string& extra() const { return extra_; }
  bool lines() const { return lines_; }

  // Whether the ASCII byte c is a word byte. REQUIRES: c < 0x80.
  bool asciiWord(unsigned char c) const { return kinds_[c] == kAsciiWord; }

  // Whether byte i of text[0 .. size) is a word byte: that of the character it is part of.
  bool wordByte(const unsigned char* text, std::size_t size, std::size_t i) const {
    if (text[i] < 0x80) return kinds_[text[i]] == kAsciiWord;
    // A character's bytes begin at its lead byte, at most three bytes back.
    std::size_t lead = i;
    while (lead > 0 && i - lead < 3 && (text[lead] & 0xC0) == 0x80) --lead;
    std::uint32_t point;
    const std::size_t length = decodeUtf8(text + lead, size - lead, point);
    if (length == 0 || lead + length <= i) return true;  // no part of a character
    return isWordCodePoint(point) || std::binary_search(points_.begin(), points_.end(), point);
  }

  // boundary() at 0 < at < size, where text[at - 1] is `before`: the walks' question, asked
  // at every place a key may end, answered from a table for ASCII.
  bool boundaryAfter(const unsigned char* text, std::size_t size, std::size_t at,
                     unsigned char before) const {
    // Both kinds of word byte share a bit, so that an ASCII byte that is no word byte
    // settles it, and two ASCII word bytes leave only theirs.
    const unsigned both = kinds_[before] & kinds_[text[at]];
    if (both == 0) return true;
    if (both == kAsciiWord) return false;
    return characterBoundary(text, size, at);
  }

  // Whether a match may start or end at `at` of text[0 .. size).
  bool boundary(const unsigned char* text, std::size_t size, std::size_t at) const {
    return at == 0 || at == size || boundaryAfter(text, size, at, text[at - 1]);
  }

 private:
  // boundaryAfter() where a byte from 0x80 is on a side: out of the walks' loops, which ask
  // the table part at every byte.
#if defined(__GNUC__) || defined(__clang__)
  __attribute__((noinline))
#endif
  bool
  characterBoundary(const unsigned char* text, std::size_t size, std::size_t at) const {
    return !(wordByte(text, size, at - 1) && wordByte(text, size, at));
  }

  static constexpr unsigned char kAsciiWord = 3;  // 0b011
  static constexpr unsigned char kHigh = 5;       // 0b101: a word byte, or maybe
  unsigned char kinds_[256] = {};
  std::vector<std::uint32_t> points_;  // the extra characters past ASCII
  std::string extra_;
  bool lines_ = false;
};

}  // namespace internal
}  // namespace Tessel
