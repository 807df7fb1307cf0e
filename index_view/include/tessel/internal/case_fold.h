#pragma once

// Matching that ignores case: a key matches a text where each of its characters equals the
// text's character there after simple case folding; a byte that is no part of well-formed
// UTF-8, in the text or in the key, matches only itself. The keys are stored as given, so a
// walk follows, at each character of the text, every spelling of it that the trie holds.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <tessel/format.h>
#include <tessel/internal/unicode_tables.h>
#include <tessel/internal/units.h>
#include <tessel/internal/word_rule.h>

namespace Tessel {
namespace internal {

// The spellings that a key may give a text's character: the characters that simple case
// folding makes equal to it (itself among them), each in UTF-8, in byte order. A byte that
// is no part of well-formed UTF-8 has one spelling: itself.
struct Spellings {
  std::uint8_t count = 0;
  std::uint8_t length[4] = {};
  unsigned char bytes[4][4] = {};

  void add(std::uint32_t point) {
    unsigned char* out = bytes[count];
    std::uint8_t n;
    if (point < 0x80) {
      out[0] = static_cast<unsigned char>(point);
      n = 1;
    } else if (point < 0x800) {
      out[0] = static_cast<unsigned char>(0xC0 | (point >> 6));
      n = 2;
    } else if (point < 0x10000) {
      out[0] = static_cast<unsigned char>(0xE0 | (point >> 12));
      n = 3;
    } else {
      out[0] = static_cast<unsigned char>(0xF0 | (point >> 18));
      n = 4;
    }
    for (std::uint8_t i = 1; i < n; ++i) {
      out[i] = static_cast<unsigned char>(0x80 | ((point >> (6 * (n - 1 - i))) & 0x3F));
    }
    length[count++] = n;
  }
};

// The spellings of `point`, in code point order, which is their UTF-8 byte order.
inline void spellingsOf(std::uint32_t point, Spellings& out) {
  out.count = 0;
  const auto* end = std::end(unicode::kCaseEntries);
  const auto* entry =
      std::lower_bound(std::begin(unicode::kCaseEntries), end, point,
                       [](const unicode::CaseEntry& e, std::uint32_t p) { return e.point < p; });
  if (entry == end || entry->point != point) {
    out.add(point);
    return;
  }
  for (const std::uint32_t member : unicode::kCaseClasses[entry->caseClass].points) {
    if (member == 0) break;
    out.add(member);
  }
}

// The spellings of the character (or stray byte) at s[0 .. n), n > 0; returns its length.
inline std::size_t spellingsAt(const unsigned char* s, std::size_t n, Spellings& out) {
  struct Ascii {
    Spellings of[128];
    Ascii() {
      for (std::uint32_t c = 0; c < 128; ++c) spellingsOf(c, of[c]);
    }
  };
  static const Ascii ascii;  // a letter's spellings, asked at every byte of prose
  if (s[0] < 0x80) {
    out = ascii.of[s[0]];
    return 1;
  }
  std::uint32_t point;
  const std::size_t length = decodeUtf8(s, n, point);
  if (length == 0) {
    out.count = 1;
    out.length[0] = 1;
    out.bytes[0][0] = s[0];
    return 1;
  }
  spellingsOf(point, out);
  return length;
}

// Whether a character (or a stray byte) of s ends `at` bytes in, read from its start.
inline bool characterEndsAt(const std::string& s, std::size_t at) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t i = 0;
  while (i < at) {
    std::uint32_t point;
    const std::size_t length = decodeUtf8(bytes + i, s.size() - i, point);
    i += length == 0 ? 1 : length;
  }
  return i == at;
}

// The walk of a trie along a text that ignores case: every path from a node whose characters
// equal the text's, one for one, after simple case folding. One per thread; reusable.
class FoldWalk {
 public:
  enum Next { kDeeper, kSkip, kStop };

  // Walks from `node` along text[0 .. size) (with `lines`, never past a '\n'): calls
  // onNode(node, span) for each node reached at the end of a character, `span` bytes of the
  // text in (never 0), key() then holding the bytes of the path, depth first and in byte order
  // of those paths. onNode says whether to go on below the node (kDeeper), not to (kSkip), or
  // to stop. On a valid trie no node is reached twice; a damaged one whose paths meet is
  // walked no further than there are units, so the walk always ends soon.
  template <class OnNode>
  void run(const Units& units, std::size_t node, const unsigned char* text, std::size_t size,
           bool lines, OnNode&& onNode) {
    stack_.clear();
    key_.clear();
    if (size == 0 || (lines && text[0] == '\n')) return;
    std::size_t budget = units.count();
    push(node, text, size, 0);
    while (!stack_.empty()) {
      Step& f = stack_.back();
      if (f.next == f.spellings.count) {
        stack_.pop_back();
        continue;
      }
      const std::uint8_t k = f.next++;
      const unsigned char* bytes = f.spellings.bytes[k];
      std::size_t child = f.node;
      for (std::uint8_t i = 0; i < f.spellings.length[k] && child != Units::kNone; ++i) {
        child = units.child(child, Format::codeOf(bytes[i]));
      }
      if (child == Units::kNone) continue;
      if (budget-- == 0) return;
      const std::size_t span = f.span + f.unitLength;
      key_.resize(f.keyLength);
      key_.append(reinterpret_cast<const char*>(bytes), f.spellings.length[k]);
      const Next next = onNode(child, span);
      if (next == kStop) return;
      if (next == kDeeper && span < size && !(lines && text[span] == '\n')) {
        push(child, text, size, span);
      }
    }
  }

  // The bytes of the path to the node onNode() was given.
  const std::string& key() const { return key_; }

 private:
  struct Step {
    std::size_t node;
    std::size_t span;       // of the text, up to the character whose spellings are next
    std::size_t keyLength;  // of the path to the node
    std::size_t unitLength;
    Spellings spellings;
    std::uint8_t next;
  };

  void push(std::size_t node, const unsigned char* text, std::size_t size, std::size_t span) {
    Step f{};
    f.node = node;
    f.span = span;
    f.keyLength = key_.size();
    f.unitLength = spellingsAt(text + span, size - span, f.spellings);
    f.next = 0;
    stack_.push_back(f);
  }

  std::vector<Step> stack_;
  std::string key_;
};

}  // namespace internal
}  // namespace Tessel
