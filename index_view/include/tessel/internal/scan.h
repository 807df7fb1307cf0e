#pragma once

// The engine of a scan, which finds the keys that occur in a text: a walk from each position
// that may start a key, down the trie along the text's bytes, with up to 32 walks in flight
// taken in turn and each one's next units prefetched, so that their cache misses overlap; and
// the driver that picks those positions, block by block, and puts the matches in order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <tessel/format.h>
#include <tessel/internal/case_fold.h>
#include <tessel/internal/start_finder.h>
#include <tessel/internal/units.h>
#include <tessel/internal/word_rule.h>

namespace Tessel {

// How a scan chooses among the keys found in a text (see IndexView::scan()).
struct ScanOptions {
  // Leftmost-longest: the longest key at the first position where one starts, then on from
  // its end; no two matches overlap. Otherwise every match, overlapping ones included.
  bool longest = false;
  // Only keys that start and end at word boundaries: places not between two word bytes. A
  // word byte is an ASCII letter, digit or '_'; a byte of a character of well-formed UTF-8
  // that Unicode takes as a letter, mark, number or connector punctuation; a byte that is no
  // part of well-formed UTF-8; or a byte of a character of `wordChars`.
  bool words = false;
  // More word characters for words mode, in UTF-8 (as "-." keeps "flask-login" one word).
  // The characters must outlive the scan's reset.
  std::string_view wordChars;
  // Keys match where their characters equal the text's after simple case folding (a byte
  // that is no part of well-formed UTF-8 only itself): "Python" finds the key "python", and
  // the key "Apple" and the key "apple" both. A match's length is that of the text it covers,
  // which may differ from its key's ("\u017f" is two bytes and matches "s"); at one place and
  // length, keys come in byte order, and leftmost-longest takes the first of them.
  bool ignoreCase = false;
  // Each '\n' ends a line, and each line is a text of its own: no match spans a '\n' or
  // begins with one. Positions stay those of the whole text. A program that reads lines scans
  // many at once this way, as fast as one long text, where a scan per line pays for each.
  bool lines = false;
  // Asked between blocks of the text, when given: false stops the scan there.
  bool (*keepGoing)(void* context) = nullptr;
  void* context = nullptr;
};

namespace internal {

// Where words do not count, the guess at where they start that orders the walks of
// leftmost-longest: ASCII letters, digits and '_', and every byte from 0x80 on.
constexpr bool isWordByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c >= 0x80;
}

// A set of bytes.
class ByteSet {
 public:
  constexpr ByteSet() = default;
  // The bytes for which in(c) is true.
  template <class In>
  static constexpr ByteSet of(In in) {
    ByteSet set;
    for (unsigned c = 0; c < 256; ++c) {
      if (in(static_cast<unsigned char>(c))) set.add(static_cast<unsigned char>(c));
    }
    return set;
  }
  constexpr void add(unsigned char c) { bits_[c / 64] |= std::uint64_t{1} << (c % 64); }
  constexpr void remove(unsigned char c) { bits_[c / 64] &= ~(std::uint64_t{1} << (c % 64)); }
  constexpr bool has(unsigned char c) const { return ((bits_[c / 64] >> (c % 64)) & 1) != 0; }
  constexpr bool operator==(const ByteSet& other) const {
    return bits_[0] == other.bits_[0] && bits_[1] == other.bits_[1] && bits_[2] == other.bits_[2] &&
           bits_[3] == other.bits_[3];
  }

 private:
  std::uint64_t bits_[4] = {};
};

// The bytes that begin a key of `units`: the root's children.
inline ByteSet firstBytes(const Units& units) {
  ByteSet set;
  for (unsigned c = 0; c < 256; ++c) {
    if (units.count() != 0 &&
        units.child(0, Format::codeOf(static_cast<unsigned char>(c))) != Units::kNone) {
      set.add(static_cast<unsigned char>(c));
    }
  }
  return set;
}

// A key found in the text: its position, its length in the text and its value; when case is
// ignored, `value` is instead the number of its entry among the block's FoldedKeys.
struct ScanMatch {
  std::size_t position;
  std::size_t length;
  long value;
};

// The keys of a block's matches when case is ignored, which may differ from the text they
// cover: each one's value and where its bytes lie.
struct FoldedKeys {
  struct Entry {
    long value;
    std::size_t at;
    std::size_t length;
  };
  std::vector<Entry> entries;
  std::string bytes;

  void clear() {
    entries.clear();
    bytes.clear();
  }
  // A match at p of `length` bytes of the text, of the key `key` and its value.
  ScanMatch add(std::size_t p, std::size_t length, long value, std::string_view key) {
    entries.push_back(Entry{value, bytes.size(), key.size()});
    bytes += key;
    return ScanMatch{p, length, static_cast<long>(entries.size() - 1)};
  }
  std::string_view key(long entry) const {
    const Entry& e = entries[static_cast<std::size_t>(entry)];
    return std::string_view(bytes).substr(e.at, e.length);
  }
};

// The first bytes a key may have where a text's character begins with one of `starts`, when
// case is ignored: those of every spelling of the character.
inline ByteSet foldedStarts(const ByteSet& starts) {
  ByteSet set = starts;
  bool high = false;
  for (unsigned c = 0x80; c < 256; ++c) high |= starts.has(static_cast<unsigned char>(c));
  Spellings spellings;
  for (unsigned c = 0; c < 0x80; ++c) {
    spellingsOf(c, spellings);
    for (std::uint8_t k = 0; k < spellings.count; ++k) {
      // A letter may begin a key that spells it otherwise, and the text's other spellings of
      // a key's letter begin with their own lead bytes.
      if (starts.has(spellings.bytes[k][0])) set.add(static_cast<unsigned char>(c));
      if (starts.has(static_cast<unsigned char>(c))) set.add(spellings.bytes[k][0]);
    }
  }
  // A character past ASCII may be spelled with any lead byte's character: all may start.
  if (high) {
    for (unsigned c = 0x80; c < 256; ++c) set.add(static_cast<unsigned char>(c));
  }
  return set;
}

// The walks of one index's units from many positions of a text.
class ScanWalks {
 public:
  // Finds the matches that start at text[positions[i]] for every i < count (ascending
  // positions of text[0 .. size)), as `options` say: with `words` only those that end at a
  // word boundary by `rule`, with `lines` none past a '\n'. Without `longest`, appends all of them
  // to `out`, by position and shortest first. With it, sets out[i] to position i's longest (length
  // 0: none), for every i < count.
  void run(const Units& units, const unsigned char* text, std::size_t size,
           const std::size_t* positions, std::size_t count, const ScanOptions& options,
           const WordRule& rule, std::vector<ScanMatch>& out) {
    if (options.longest) {
      out.resize(count);
      for (std::size_t i = 0; i < count; ++i) out[i] = ScanMatch{positions[i], 0, -1};
      if (units.count() == 0 || count == 0) return;
      const WordRule* words = options.words ? &rule : nullptr;
      options.lines ? walk<true, true>(units, text, size, positions, count, words, out.data())
                    : walk<true, false>(units, text, size, positions, count, words, out.data());
      return;
    }
    if (units.count() == 0 || count == 0) return;
    const WordRule* words = options.words ? &rule : nullptr;
    options.lines ? walk<false, true>(units, text, size, positions, count, words, nullptr)
                  : walk<false, false>(units, text, size, positions, count, words, nullptr);
    // Walks ended out of order; each one's matches came shortest first. A counting sort by
    // position keeps that order within a position.
    starts_.assign(count + 1, 0);
    for (const Found& f : found_) ++starts_[f.slot + 1];
    for (std::size_t i = 0; i < count; ++i) starts_[i + 1] += starts_[i];
    const std::size_t first = out.size();
    out.resize(first + found_.size());
    for (const Found& f : found_) {
      out[first + starts_[f.slot]++] = ScanMatch{positions[f.slot], f.length, f.value};
    }
  }

 private:
  static constexpr std::size_t kInFlight = 32;
  // Places where a key may end that a walk after the longest match keeps before it looks.
  static constexpr std::size_t kEnds = 32;

  // A walk from text position `first` waits at a node whose base is `base`, about to look at
  // the child for the byte at `next`. For every match, the key end of each node the walk
  // reaches is read a round later, prefetched meanwhile; for the longest, when the walk ends,
  // from the deepest node where a key may end back: no test on the way, and one unit read in
  // most walks.
  struct End {
    std::uint32_t base;  // the node's base: its key end is unit base
    std::uint32_t length;
  };
  struct Walk {
    const unsigned char* first;
    const unsigned char* next;
    std::uint32_t base;
    std::uint32_t ends;  // kept in `end`
    std::size_t slot;
    End end[kEnds];
  };
  struct Found {
    std::size_t slot;
    std::size_t length;
    long value;
  };

  // The longest match among w's places kept, then none are kept: whether one was found.
  template <class Match>
  bool longestKept(const unsigned char* data, std::size_t unitCount, Walk& w, Match& best) {
    for (std::uint32_t k = w.ends; k-- > 0;) {
      const std::size_t unit = w.end[k].base;
      if (unit < unitCount && Format::checkAt(data, unit) == w.end[k].base) {
        const long value = Format::decodeValue(Format::baseAt(data, unit));
        if (value >= 0) {
          best.length = w.end[k].length;
          best.value = value;
          w.ends = 0;
          return true;
        }
      }
    }
    w.ends = 0;
    return false;
  }

  // With kLongest, position i's longest match goes to best[i]; else every match to found_.
  template <bool kLongest, bool kLines>
  void walk(const Units& units, const unsigned char* text, std::size_t size,
            const std::size_t* positions, std::size_t count, const WordRule* words,
            ScanMatch* best) {
    found_.clear();
    // The walks' state lives in locals, which the compiler keeps in registers.
    const unsigned char* const data = units.data();
    const std::size_t unitCount = units.count();
    const unsigned char* const stop = text + size;
    const auto root = static_cast<std::uint32_t>(units.base(0));
    std::size_t started = 0;
    auto start = [&](Walk& w) {
      w.slot = started;
      w.first = w.next = text + positions[started++];
      w.base = root;
      w.ends = 0;  // the empty key ends at the root: it never matches
      if (w.next != stop) units.prefetch(std::size_t{root} + *w.next + 1u);
    };
    std::size_t live = 0;
    for (; live < kInFlight && started < count; ++live) start(walks_[live]);
    // Round robin, so that each walk's prefetched units have time to arrive.
    while (live != 0) {
      for (std::size_t i = 0; i < live; ++i) {
        Walk& w = walks_[i];
        if (!kLongest && w.ends != 0) {
          // The key end of the node reached a round ago, prefetched then.
          Found found{w.slot, 0, -1};
          if (longestKept(data, unitCount, w, found)) found_.push_back(found);
        }
        if (w.next != stop && (!kLines || *w.next != '\n')) {
          const unsigned char byte = *w.next;
          const std::size_t child = std::size_t{w.base} + byte + 1u;
          if (child < unitCount && Format::checkAt(data, child) == w.base) {
            const std::int32_t b = Format::baseAt(data, child);
            if (b > 0) {
              ++w.next;
              w.base = static_cast<std::uint32_t>(b);
              // Inside a word no key ends that words mode would take.
              if (words == nullptr || w.next == stop ||
                  words->boundaryAfter(text, size, static_cast<std::size_t>(w.next - text), byte)) {
                const auto length = static_cast<std::size_t>(w.next - w.first);
                // The key end is read when the walk ends, or a round from now: on its way.
                units.prefetch(w.base);
                if (kLongest) {
                  if (w.ends == kEnds) longestKept(data, unitCount, w, best[w.slot]);
                  w.end[w.ends++] = End{w.base, static_cast<std::uint32_t>(length)};
                } else {
                  w.end[0] = End{w.base, static_cast<std::uint32_t>(length)};
                  w.ends = 1;
                }
              }
              if (w.next != stop) units.prefetch(std::size_t{w.base} + *w.next + 1u);
              continue;
            }
          }
        }
        // This walk is done: its longest match kept, another position taken up.
        if (kLongest) {
          longestKept(data, unitCount, w, best[w.slot]);
        } else if (w.ends != 0) {
          Found found{w.slot, 0, -1};
          if (longestKept(data, unitCount, w, found)) found_.push_back(found);
        }
        if (started < count) {
          start(w);
        } else {
          w = walks_[--live];
          --i;
        }
      }
    }
  }

  Walk walks_[kInFlight] = {};
  std::vector<Found> found_;  // every match, as the walks found them
  std::vector<std::size_t> starts_;
};

// ScanWalks::run() ignoring case. Walks along ASCII text go many at a time, as ScanWalks'
// do: each follows a letter's capital and small spellings that the trie holds, taking up
// another walk where both are there, and keeps at each character which one it took, so that
// its keys are the text's bytes with those spellings. A position whose walks meet a byte from
// 0x80, a spelling past ASCII that the trie holds (the Kelvin sign's for k), or more than 64
// characters is walked depth first instead, by FoldWalk.
class FoldScanWalks {
 public:
  void run(const Units& units, const unsigned char* text, std::size_t size,
           const std::size_t* positions, std::size_t count, const ScanOptions& options,
           const WordRule& rule, std::vector<ScanMatch>& out, FoldedKeys& keys) {
    found_.clear();
    deep_.assign(count, false);
    if (options.longest) best_.assign(count, Found{0, 0, -1, 0});
    if (units.count() != 0 && count != 0) {
      const WordRule* words = options.words ? &rule : nullptr;
      options.lines ? walk<true>(units, text, size, positions, count, words, options.longest)
                    : walk<false>(units, text, size, positions, count, words, options.longest);
    }
    if (options.longest) {
      for (std::size_t i = 0; i < count; ++i) {
        if (deep_[i]) {
          depthFirst(units, text, size, positions[i], options, rule, out, keys);
        } else if (best_[i].length == 0) {
          out.push_back(ScanMatch{positions[i], 0, -1});
        } else {
          out.push_back(report(text, positions[i], best_[i], keys));
        }
      }
      return;
    }
    // Each position's matches together, by length and then key (the spellings taken: a
    // capital is the smaller byte).
    std::sort(found_.begin(), found_.end(), [](const Found& a, const Found& b) {
      if (a.slot != b.slot) return a.slot < b.slot;
      if (a.length != b.length) return a.length < b.length;
      return keyBefore(a.choices, b.choices, a.length);
    });
    std::size_t f = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t p = positions[i];
      std::size_t end = f;
      while (end < found_.size() && found_[end].slot == i) ++end;
      if (deep_[i]) {
        depthFirst(units, text, size, p, options, rule, out, keys);
      } else {
        for (; f < end; ++f) out.push_back(report(text, p, found_[f], keys));
      }
      f = end;
    }
  }

 private:
  static constexpr std::size_t kInFlight = 32;
  static constexpr std::size_t kEnds = 8;             // few: a walk is copied where it forks
  static constexpr std::size_t kMostCharacters = 64;  // one bit of `choices` each

  struct End {
    std::uint32_t base;
    std::uint32_t length;
  };
  struct Walk {
    // Left unset: a fork sets what it needs, and zeroing the places cost a tenth of a scan.
    // cppcheck-suppress uninitMemberVar
    Walk() {}
    const unsigned char* first;
    const unsigned char* next;
    std::uint32_t base;
    std::uint32_t ends;
    std::size_t slot;
    std::uint64_t choices;  // bit i: character i took its second spelling (small)
    End end[kEnds];
  };
  struct Found {
    std::size_t slot;
    std::size_t length;
    long value;
    std::uint64_t choices;
  };
  // An ASCII byte's spellings: itself, or a letter's capital and small; whether it has one
  // past ASCII too, and that one's first byte.
  struct Ascii {
    unsigned char spelling[2];
    unsigned char count;
    unsigned char beyond[2];  // its first two bytes (UTF-8 of U+0080 on has two or more); 0: none
  };
  struct AsciiTable {
    Ascii of[128] = {};
    AsciiTable() {
      for (unsigned c = 0; c < 128; ++c) {
        Spellings s;
        spellingsOf(c, s);
        Ascii& a = of[c];
        a = Ascii{{static_cast<unsigned char>(c), static_cast<unsigned char>(c)}, 1, {0, 0}};
        for (std::uint8_t k = 0; k < s.count; ++k) {
          if (s.length[k] != 1) {
            a.beyond[0] = s.bytes[k][0];
            a.beyond[1] = s.bytes[k][1];
          } else if (s.bytes[k][0] != c || a.count == 2) {
            a.count = 2;
          }
        }
        if (a.count == 2) {
          // The capital first: it is the smaller byte.
          a.spelling[0] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
          a.spelling[1] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
      }
    }
  };
  static const AsciiTable& ascii() {
    static const AsciiTable table;
    return table;
  }

  // Whether the key that `a` spells is before the one `b` spells, both `length` characters.
  static bool keyBefore(std::uint64_t a, std::uint64_t b, std::size_t length) {
    const std::uint64_t differ =
        (a ^ b) & (length >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1);
    if (differ == 0) return false;
    return ((a >> __builtin_ctzll(differ)) & 1) == 0;
  }

  ScanMatch report(const unsigned char* text, std::size_t p, const Found& f, FoldedKeys& keys) {
    const AsciiTable& table = ascii();
    key_.clear();
    for (std::size_t i = 0; i < f.length; ++i) {
      const Ascii& a = table.of[text[p + i]];
      key_ += static_cast<char>(a.spelling[(f.choices >> i) & 1]);
    }
    return keys.add(p, f.length, f.value, key_);
  }

  // The matches at p, found by FoldWalk.
  void depthFirst(const Units& units, const unsigned char* text, std::size_t size, std::size_t p,
                  const ScanOptions& options, const WordRule& rule, std::vector<ScanMatch>& out,
                  FoldedKeys& keys) {
    const std::size_t first = out.size();
    ScanMatch best{p, 0, -1};
    walk_.run(units, 0, text + p, size - p, options.lines, [&](std::size_t node, std::size_t span) {
      const long value = units.valueAt(node);
      if (value < 0 || (options.words && !rule.boundary(text, size, p + span))) {
        return FoldWalk::kDeeper;
      }
      if (!options.longest) {
        out.push_back(keys.add(p, span, value, walk_.key()));
      } else if (span > best.length) {
        // Paths come in byte order: of equal spans the first stays.
        best = ScanMatch{p, span, value};
        key_ = walk_.key();
      }
      return FoldWalk::kDeeper;
    });
    if (options.longest) {
      out.push_back(best.length == 0 ? best : keys.add(p, best.length, best.value, key_));
    } else {
      std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                       [](const ScanMatch& a, const ScanMatch& b) { return a.length < b.length; });
    }
  }

  // Whether the node of base `base` has a child by the first byte of a spelling of the
  // character at s[0 .. n) (a byte from 0x80 on): a walk from there goes on depth first.
  static bool mayFollow(const Units& units, std::uint32_t base, const unsigned char* s,
                        std::size_t n) {
    Spellings spellings;
    spellingsAt(s, n, spellings);
    for (std::uint8_t k = 0; k < spellings.count; ++k) {
      const std::size_t unit = std::size_t{base} + spellings.bytes[k][0] + 1u;
      if (unit < units.count() && units.check(unit) == base) return true;
    }
    return false;
  }

  // The matches among w's places kept (with `longest`, only its deepest); none are kept then.
  void keep(const unsigned char* data, std::size_t unitCount, Walk& w, bool longest) {
    for (std::uint32_t k = w.ends; k-- > 0;) {
      const std::size_t unit = w.end[k].base;
      if (unit < unitCount && Format::checkAt(data, unit) == w.end[k].base) {
        const long value = Format::decodeValue(Format::baseAt(data, unit));
        if (value < 0) continue;
        const Found f{w.slot, w.end[k].length, value, w.choices};
        if (!longest) {
          found_.push_back(f);
          continue;
        }
        // The longest at the walk's position, and of those the first key.
        Found& best = best_[w.slot];
        if (f.length > best.length ||
            (f.length == best.length && keyBefore(f.choices, best.choices, f.length))) {
          best = f;
        }
        break;
      }
    }
    w.ends = 0;
  }

  template <bool kLines>
  void walk(const Units& units, const unsigned char* text, std::size_t size,
            const std::size_t* positions, std::size_t count, const WordRule* words, bool longest) {
    const unsigned char* const data = units.data();
    const std::size_t unitCount = units.count();
    const unsigned char* const stop = text + size;
    const auto root = static_cast<std::uint32_t>(units.base(0));
    const AsciiTable& table = ascii();
    forks_.clear();
    std::size_t started = 0;
    // Prefetches the children that w's next character may lead to.
    auto ahead = [&](const Walk& w) {
      if (w.next == stop || *w.next >= 0x80) return;
      const Ascii& a = table.of[*w.next];
      units.prefetch(std::size_t{w.base} + a.spelling[0] + 1u);
      if (a.count == 2) units.prefetch(std::size_t{w.base} + a.spelling[1] + 1u);
      if (a.beyond[0] != 0) units.prefetch(std::size_t{w.base} + a.beyond[0] + 1u);
    };
    // The base of the child of `base` by `byte`, or 0 when there is none.
    auto child = [&](std::uint32_t base, unsigned char byte) -> std::uint32_t {
      const std::size_t unit = std::size_t{base} + byte + 1u;
      if (unit >= unitCount || Format::checkAt(data, unit) != base) return 0;
      const std::int32_t b = Format::baseAt(data, unit);
      return b > 0 ? static_cast<std::uint32_t>(b) : 0;
    };
    // Whether the trie holds, below the node of base `base`, the spelling past ASCII of a's
    // byte (the Kelvin sign's first two bytes for k).
    auto beyondThere = [&](std::uint32_t base, const Ascii& a) {
      if (a.beyond[0] == 0) return false;
      const std::uint32_t lead = child(base, a.beyond[0]);
      return lead != 0 && child(lead, a.beyond[1]) != 0;
    };
    // Moves w on by its next character, spelled as choice says, to the node of base `to`.
    auto advance = [&](Walk& w, std::uint32_t to, std::uint64_t choice) {
      const unsigned char byte = *w.next;
      w.choices |= choice << (w.next - w.first);
      ++w.next;
      w.base = to;
      if (words == nullptr || w.next == stop ||
          words->boundaryAfter(text, size, static_cast<std::size_t>(w.next - text), byte)) {
        units.prefetch(w.base);
        if (w.ends == kEnds) keep(data, unitCount, w, longest);
        w.end[w.ends++] = End{w.base, static_cast<std::uint32_t>(w.next - w.first)};
      }
      ahead(w);
    };
    auto start = [&](Walk& w) {
      if (!forks_.empty()) {
        const Walk& fork = forks_.back();
        w.first = fork.first;
        w.next = fork.next;
        w.base = fork.base;
        w.slot = fork.slot;
        w.choices = fork.choices;
        w.ends = fork.ends;
        std::copy(fork.end, fork.end + fork.ends, w.end);
        forks_.pop_back();
        return;
      }
      w.slot = started;
      w.first = w.next = text + positions[started++];
      w.base = root;
      w.ends = 0;
      w.choices = 0;
      ahead(w);
    };
    std::size_t live = 0;
    for (; live < kInFlight && started < count; ++live) start(walks_[live]);
    while (live != 0) {
      for (std::size_t i = 0; i < live; ++i) {
        Walk& w = walks_[i];
        bool done = true;
        if (deep_[w.slot]) {
          w.ends = 0;  // walked depth first instead
        } else if (w.next != stop && (!kLines || *w.next != '\n')) {
          const unsigned char c = *w.next;
          if (c >= 0x80 ? mayFollow(units, w.base, w.next, static_cast<std::size_t>(stop - w.next))
                        : static_cast<std::size_t>(w.next - w.first) == kMostCharacters ||
                              beyondThere(w.base, table.of[c])) {
            deep_[w.slot] = true;
            w.ends = 0;
          } else if (c < 0x80) {
            const Ascii& a = table.of[c];
            const std::uint32_t to = child(w.base, a.spelling[0]);
            const std::uint32_t other = a.count == 2 ? child(w.base, a.spelling[1]) : 0;
            if (to != 0 && other != 0) {
              // The places kept so far stay w's: the fork copies no more than it needs.
              forks_.emplace_back();
              Walk& fork = forks_.back();
              fork.first = w.first;
              fork.next = w.next;
              fork.base = w.base;
              fork.ends = 0;
              fork.slot = w.slot;
              fork.choices = w.choices;
              advance(fork, other, 1);
            }
            if (to != 0 || other != 0) {
              advance(w, to != 0 ? to : other, to != 0 ? 0 : 1);
              done = false;
            }
          }
        }
        if (!done) continue;
        keep(data, unitCount, w, longest);
        if (started < count || !forks_.empty()) {
          start(w);
        } else {
          w = walks_[--live];
          --i;
        }
      }
    }
  }

  Walk walks_[kInFlight];
  std::vector<Walk> forks_;  // walks taken up where both spellings were there
  std::vector<Found> found_;
  std::vector<Found> best_;  // leftmost-longest: each position's, length 0 for none
  std::vector<bool> deep_;   // positions to walk depth first
  FoldWalk walk_;
  std::string key_;
};

// A scan under way: the positions that may start a match, a block at a time, and the
// matches to report, in order. findBlock(positions, count, out) appends the matches at those
// positions as ScanWalks::run() does.
class TextScan {
 public:
  static constexpr std::size_t kBlock = 4096;

  // Starts on text[0 .. size); `starts` holds every byte that may begin a key.
  void reset(const char* text, std::size_t size, const ScanOptions& options,
             const ByteSet& starts) {
    text_ = reinterpret_cast<const unsigned char*>(text);
    size_ = size;
    options_ = options;
    if (options.ignoreCase && !(starts == foldFrom_)) {
      foldFrom_ = starts;
      folded_ = foldedStarts(starts);
    }
    ByteSet begin = options.ignoreCase ? folded_ : starts;
    if (options.lines) begin.remove('\n');
    // A scanner reused text after text (a line at a time) works the classes out once.
    if (options.wordChars != rule_.extra() || options.lines != rule_.lines()) {
      rule_.set(options.wordChars, options.lines);
      classesKnown_ = false;
    }
    if (!classesKnown_ || !(begin == starts_) || options.words != wordClasses_) {
      unsigned char classes[256];
      for (unsigned c = 0; c < 256; ++c) {
        const auto byte = static_cast<unsigned char>(c);
        // In words mode the class of a byte from 0x80 depends on its character: such a
        // byte is taken as no word byte, and the positions that gives are looked at again.
        const bool word = !options.words ? isWordByte(byte) : c < 0x80 && rule_.asciiWord(byte);
        classes[c] =
            static_cast<unsigned char>((begin.has(byte) ? kStarts : 0) | (word ? kWord : 0));
      }
      finder_.set(classes);
      starts_ = begin;
      wordClasses_ = options.words;
      classesKnown_ = true;
    }
    from_ = 0;
    next_ = 0;
    matches_.clear();
    at_ = 0;
    stopped_ = false;
  }

  // Moves to the next match: false when there is none (or keepGoing said stop).
  template <class FindBlock>
  bool next(FindBlock&& findBlock) {
    while (at_ == matches_.size()) {
      matches_.clear();
      keys_.clear();
      at_ = 0;
      if (from_ >= size_ || stopped_) return false;
      nextBlock(findBlock);
    }
    ++at_;
    return true;
  }

  const ScanMatch& match() const { return matches_[at_ - 1]; }
  const unsigned char* text() const { return text_; }
  std::size_t size() const { return size_; }
  const ScanOptions& options() const { return options_; }
  const WordRule& rule() const { return rule_; }
  // The keys of the matches found when case is ignored, which findBlock adds to; kept until
  // the next block.
  FoldedKeys& keys() { return keys_; }
  // The current match's value, and its key: the text it covers unless case is ignored.
  long value() const {
    const ScanMatch& m = match();
    return options_.ignoreCase ? keys_.entries[static_cast<std::size_t>(m.value)].value : m.value;
  }
  std::string_view key() const {
    const ScanMatch& m = match();
    if (options_.ignoreCase) return keys_.key(m.value);
    return std::string_view(reinterpret_cast<const char*>(text_) + m.position, m.length);
  }

 private:
  // The matches of the next block of positions: all of them, or each leftmost-longest one.
  template <class FindBlock>
  void nextBlock(FindBlock& findBlock) {
    if (options_.keepGoing != nullptr && !options_.keepGoing(options_.context)) {
      stopped_ = true;
      return;
    }
    // Leftmost-longest matches mostly start where words do: those positions are walked
    // first, and one inside a word only where a match before it ends there or none began at
    // its word's start.
    const bool boundaries = options_.words || options_.longest;
    const std::size_t begin = std::max(from_, next_);
    from_ = candidates(begin, boundaries);
    found_.clear();
    if (blockCount_ != 0) findBlock(block_.get(), blockCount_, found_);
    if (!options_.longest) {
      matches_.swap(found_);
      return;
    }
    // found_ holds each position's longest match, length 0 for none.
    if (options_.words) {
      for (const ScanMatch& m : found_) {
        if (m.length == 0 || m.position < next_) continue;
        matches_.push_back(m);
        next_ = m.position + m.length;
      }
      return;
    }
    // Where a word's start has no match, or one that ends inside the word, the rest of the
    // word will be needed: its positions are walked next, all in one go.
    // Only so far ahead, though: the positions a longer match covers are never needed, and
    // in a long word (a run of one letter, against keys of that letter) walking them all
    // would cost the word's length for each match.
    positions_.clear();
    for (const ScanMatch& m : found_) {
      const std::size_t after = m.position + std::max<std::size_t>(m.length, 1);
      const std::size_t ahead = std::min(from_, after + kAhead);
      for (std::size_t q = after;
           q < ahead && (finder_.classOf(text_[q]) & finder_.classOf(text_[q - 1]) & kWord) != 0;
           ++q) {
        if (finder_.classOf(text_[q]) & kStarts) positions_.push_back(q);
      }
    }
    inside_.clear();
    if (!positions_.empty()) findBlock(positions_.data(), positions_.size(), inside_);
    // Leftmost-longest over both, in order; positions no one foresaw are walked when reached.
    std::size_t w = 0, r = 0;
    next_ = begin;
    for (;;) {
      while (w < found_.size() && found_[w].position < next_) ++w;
      while (r < inside_.size() && inside_[r].position < next_) ++r;
      const bool first =
          r == inside_.size() || (w < found_.size() && found_[w].position < inside_[r].position);
      if (first && w == found_.size()) {
        if (next_ < from_) next_ = resolveUnknown(findBlock, next_, from_);
        break;
      }
      const ScanMatch m = first ? found_[w] : inside_[r];
      if (next_ < m.position) {
        next_ = resolveUnknown(findBlock, next_, m.position);
        continue;
      }
      if (m.length != 0) matches_.push_back(m);
      next_ = m.position + std::max<std::size_t>(m.length, 1);
    }
  }

  // Sets block_ to the positions from `p` on that may start a match (with `boundaries`,
  // only those that are no word's inside), a block's worth; returns where they stop.
  std::size_t candidates(std::size_t p, bool boundaries) {
    // The room is made once: a resize would clear it, a block's worth, for every short text.
    if (!block_) block_.reset(new std::size_t[kBlock + StartFinder::kOver]);
    std::size_t* out = block_.get();
    std::size_t n = 0;
    const std::size_t stop = p + std::min(size_ - std::min(p, size_), kBlock * 64);
    p = finder_.find(text_, p, stop, boundaries, out, n, kBlock);
    if (options_.words) {
      // Positions next to a byte from 0x80 are boundaries only by their characters.
      std::size_t kept = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = out[i];
        if (((text_[at] | (at == 0 ? 0 : text_[at - 1])) & 0x80) == 0 ||
            rule_.boundary(text_, size_, at)) {
          out[kept++] = at;
        }
      }
      n = kept;
    }
    blockCount_ = n;
    return p;
  }

  // Leftmost-longest from `from` up to `to`, where positions were walked already: walks the
  // positions between, a few at a time, reports their matches and returns where the next
  // match may start.
  template <class FindBlock>
  std::size_t resolveUnknown(FindBlock& findBlock, std::size_t from, std::size_t to) {
    constexpr std::size_t kFew = 32;
    while (from < to) {
      positions_.clear();
      std::size_t p = from;
      for (; p < to && positions_.size() < kFew; ++p) {
        if (finder_.classOf(text_[p]) & kStarts) positions_.push_back(p);
      }
      unknown_.clear();
      if (!positions_.empty()) findBlock(positions_.data(), positions_.size(), unknown_);
      for (const ScanMatch& m : unknown_) {
        if (m.length == 0 || m.position < from) continue;
        matches_.push_back(m);
        from = m.position + m.length;
      }
      from = std::max(from, p);
    }
    return from;
  }

  static constexpr unsigned char kStarts = StartFinder::kStarts;
  static constexpr unsigned char kWord = StartFinder::kWord;
  // How far into a word, after a match or a start without one, positions are walked ahead.
  static constexpr std::size_t kAhead = 64;

  const unsigned char* text_ = nullptr;
  std::size_t size_ = 0;
  ScanOptions options_;
  StartFinder finder_;  // each byte's class, kStarts and kWord
  ByteSet starts_;      // what the classes were worked out from
  ByteSet foldFrom_;    // what folded_ was worked out from
  ByteSet folded_;
  bool wordClasses_ = false;
  bool classesKnown_ = false;
  WordRule rule_;
  std::size_t from_ = 0;                  // where the next block's positions begin
  std::size_t next_ = 0;                  // leftmost-longest: where the next match may start
  std::unique_ptr<std::size_t[]> block_;  // a block's positions, blockCount_ of them
  std::size_t blockCount_ = 0;
  std::vector<std::size_t> positions_;  // leftmost-longest: the positions walked later
  std::vector<ScanMatch> found_;
  std::vector<ScanMatch> inside_;   // leftmost-longest: inside words, as found_ at word starts
  std::vector<ScanMatch> unknown_;  // and where neither foresaw
  std::vector<ScanMatch> matches_;  // the block's matches to report
  FoldedKeys keys_;
  std::size_t at_ = 0;  // of which this many are reported
  bool stopped_ = false;
};

// The loop of a scan() call: resets `scanner` to text[0 .. length) of `view` and hands onMatch
// every match until it returns false. Returns the number handed.
template <class Scanner, class View, class OnMatch>
std::size_t scanAll(Scanner& scanner, const View& view, const char* text, std::size_t length,
                    const ScanOptions& options, OnMatch& onMatch) {
  scanner.reset(view, text, length, options);
  std::size_t found = 0;
  while (scanner.next()) {
    ++found;
    using Result = decltype(onMatch(scanner.position(), scanner.length(), scanner.value()));
    if constexpr (std::is_convertible_v<Result, bool>) {
      if (!onMatch(scanner.position(), scanner.length(), scanner.value())) break;
    } else {
      onMatch(scanner.position(), scanner.length(), scanner.value());
    }
  }
  return found;
}

}  // namespace internal
}  // namespace Tessel
