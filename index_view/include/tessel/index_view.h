#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <tessel/format.h>
#include <tessel/internal/batch_walk.h>
#include <tessel/internal/listing.h>
#include <tessel/internal/mapped_file.h>
#include <tessel/internal/reverse_table.h>
#include <tessel/internal/scan.h>
#include <tessel/internal/unit_scan.h>
#include <tessel/internal/units.h>
#include <tessel/status.h>
#include <tessel/weights.h>

namespace Tessel {

// A read-only view of an index file (the format is in tessel/format.h).
//
// Every unit access is bounds-checked, so a damaged or hostile file gives ordinary answers or
// kCorrupt, never a read outside the data or an endless walk. A const view may be used from
// several threads at once, including the first calls that build the tables of keyCount(),
// the listings and restoreKey().
class IndexView {
 public:
  // Results of open() and attach(), and of the whole-trie walks (tessel/status.h words them).
  static constexpr int kOk = kIndexOk;
  static constexpr int kCannotOpen = kIndexCannotOpen;  // cannot be opened, read or mapped
  static constexpr int kNotAnIndex = kIndexNotAnIndex;  // not a regular file, wrong size, no root
  static constexpr int kCorrupt = kIndexCorrupt;        // a walk reached a unit twice
  static constexpr int kBadBounds = -1;  // top(): the companion's bounds do not fit the units

  // Results of traverse() besides a value (>= 0).
  static constexpr long kNoValue = -1;  // the path exists, but no key ends there
  static constexpr long kNoPath = -2;   // the path breaks before the end of the bytes

  static constexpr std::size_t kUnitBytes = Format::kUnitBytes;
  static constexpr std::size_t kTailUnits = Format::kTailUnits;

  // The type of a key's value.
  using Value = std::int32_t;

  IndexView() = default;
  IndexView(const IndexView&) = delete;
  IndexView& operator=(const IndexView&) = delete;
  IndexView(IndexView&& other) noexcept { swap(other); }
  IndexView& operator=(IndexView&& other) noexcept {
    if (this != &other) {
      close();
      swap(other);
    }
    return *this;
  }

  // Maps the index file at `path` read-only, in constant time, replacing what the view held.
  // The file must not shrink while mapped (the system would stop the process); a file that
  // DoubleArray::save replaced is safe, as the old one lives on until unmapped.
  // Returns kOk, kCannotOpen (errno tells why; EISDIR for a directory) or kNotAnIndex. A FIFO
  // or a device is not an index and is refused at once, without waiting for a writer.
  int open(const char* path) { return adopt(file_.map(path)); }

  // open() for the open file `fd`, which the caller keeps and may close afterwards.
  int openDescriptor(int fd) { return adopt(file_.mapDescriptor(fd)); }

  // Views `bytes` bytes at `data`, which the caller owns and keeps alive and unchanged while
  // the view is used. Any alignment will do. Returns kOk or kNotAnIndex.
  int attach(const void* data, std::size_t bytes) {
    close();
    if (data == nullptr || !Format::validSize(bytes)) return kNotAnIndex;
    return adoptUnits(static_cast<const unsigned char*>(data), bytes);
  }

  // Releases the mapping and the tables built on first use; the view is then empty and finds
  // nothing. REQUIRES: no other thread is using the view.
  void close() {
    file_.unmap();
    units_ = internal::Units();
    tables_.reset();
  }

  // Number of units; 0 for an empty view.
  std::size_t size() const { return units_.count(); }

  // The first byte of the units (nullptr for an empty view); size() * kUnitBytes bytes.
  const void* data() const { return units_.data(); }

  // Stores the value of the key key[0 .. length) in `value` and returns true when it is a key.
  bool find(const char* key, std::size_t length, std::int32_t& value) const {
    std::size_t node = 0;
    std::size_t pos = 0;
    const long result = traverse(key, length, node, pos);
    if (result < 0) return false;
    value = static_cast<std::int32_t>(result);
    return true;
  }

  // Looks up `count` keys at once: values[i] becomes the value of keys[i][0 .. lengths[i]), or
  // -1 when it is not a key. The same answers as find(), faster for many keys: several walks
  // are kept in flight so that their memory accesses overlap.
  // REQUIRES: keys, lengths and values each hold `count` elements; Int is a signed integer
  // type of at least 32 bits.
  template <class Int>
  void findMany(std::size_t count, const char* const* keys, const std::size_t* lengths,
                Int* values) const {
    static_assert(std::is_signed_v<Int> && sizeof(Int) >= 4, "values of 32 bits or more");
    internal::Batch batch(units_, count, keys, lengths);
    std::size_t query;
    long value;
    while (batch.nextExact(query, value)) values[query] = static_cast<Int>(value);
  }

  // Follows key[pos .. length) from unit `node` (0 is the root), advancing node and pos past
  // every byte followed. Returns the value of the key that ends at the node reached when all
  // bytes were followed, kNoValue when no key ends there, and kNoPath when a byte has no edge
  // (node and pos then stop before it). Matching can go on across buffers from node and pos.
  long traverse(const char* key, std::size_t length, std::size_t& node, std::size_t& pos) const {
    for (; pos < length; ++pos) {
      const std::size_t next =
          units_.child(node, Format::codeOf(static_cast<unsigned char>(key[pos])));
      if (next == internal::Units::kNone) return kNoPath;
      node = next;
    }
    return units_.valueAt(node);
  }

  // Calls onMatch(length, value) for every key that is a prefix of query[0 .. length),
  // shortest first. Returns the number of matches.
  template <class OnMatch>
  std::size_t commonPrefixes(const char* query, std::size_t length, OnMatch&& onMatch) const {
    std::size_t matches = 0;
    std::size_t node = 0;
    for (std::size_t pos = 0; node != internal::Units::kNone && units_.count() != 0; ++pos) {
      const long value = units_.valueAt(node);
      if (value >= 0) {
        onMatch(pos, static_cast<std::int32_t>(value));
        ++matches;
      }
      if (pos == length) break;
      node = units_.child(node, Format::codeOf(static_cast<unsigned char>(query[pos])));
    }
    return matches;
  }

  // commonPrefixes() for `count` queries at once, with walks kept in flight as in findMany():
  // calls onMatch(query, length, value) for every key that is a prefix of
  // queries[query][0 .. lengths[query]), in query order and shortest first within a query.
  // Returns the number of matches. REQUIRES: queries and lengths each hold `count` elements.
  template <class OnMatch>
  std::size_t commonPrefixesMany(std::size_t count, const char* const* queries,
                                 const std::size_t* lengths, OnMatch&& onMatch) const {
    internal::Batch batch(units_, count, queries, lengths);
    std::size_t matches = 0;
    while (batch.nextPrefixBlock()) matches += batch.reportPrefixBlock(onMatch);
    return matches;
  }

  // Lists the keys below a prefix one at a time, in byte order, for as long as the caller
  // likes: a cursor can be kept between calls and reused for another prefix, which then
  // allocates nothing once its buffers have grown. On a damaged file a walk that meets a unit
  // again ends there (corrupt() tells), so it ends on any file and holds no more than a walk
  // of a valid index of the same size; before that, a walk below a non-empty prefix may list
  // a key twice (a walk from the root marks every unit from the first). One per thread.
  // REQUIRES: the view outlives the cursor's use and is not closed or moved meanwhile.
  class Cursor {
   public:
    // Starts listing the keys that begin with prefix[0 .. length), in descending byte order
    // when asked.
    void reset(const IndexView& view, const char* prefix, std::size_t length,
               bool descending = false) {
      std::size_t node = 0;
      std::size_t pos = 0;
      if (view.size() == 0 || view.traverse(prefix, length, node, pos) == kNoPath) {
        node = internal::Units::kNone;
      }
      corrupt_ = false;
      static const internal::EdgeCodes kNoCodes;
      // A walk from the root marks every unit, as forEach() does: a listing of the whole index
      // fails wherever a dump does.
      listing_.reset(view.units_, view.tables_ ? view.edgeCodes() : kNoCodes, node, prefix, length,
                     length == 0 ? 0 : kTrackFrom, descending);
    }

    // Moves to the next key; false when there are no more.
    bool next() {
      const internal::Listing::Step step = listing_.advance();
      corrupt_ |= step == internal::Listing::kLoop;
      return step == internal::Listing::kKey;
    }

    // The current key and its value. REQUIRES: the last next() returned true.
    const std::string& key() const { return listing_.key(); }
    std::int32_t value() const { return listing_.value(); }

    // Whether the last walk ended at a unit reached twice: the file is damaged.
    bool corrupt() const { return corrupt_; }

   private:
    friend class IndexView;
    // Short walks, as of a limited prediction, go unmarked.
    static constexpr std::size_t kTrackFrom = 1024;

    internal::Listing listing_;
    bool corrupt_ = false;
  };

  // Calls onKey(key, value) with a std::string holding each key that begins with
  // prefix[0 .. length), in byte order, up to `limit` keys. onKey may return bool: false stops
  // the listing after that key. The walk is the cursor's, with its bounds. Returns the number
  // of keys passed to onKey. With `cursor`, repeated calls allocate nothing once its buffers
  // have grown, and cursor.corrupt() tells afterwards whether the walk met a damaged unit.
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey, Cursor& cursor,
                      std::size_t limit = std::numeric_limits<std::size_t>::max()) const {
    return internal::listBelow(*this, prefix, length, onKey, cursor, limit);
  }
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey) const {
    Cursor cursor;
    return predict(prefix, length, onKey, cursor);
  }

  // Finds the keys that occur in a text, one match at a time: a match is a position of the
  // text and a key, not empty, that the text's bytes from there begin with. Every match comes,
  // ordered by position and then shortest first, unless options.longest takes only the
  // longest at the first position where one starts and goes on from its end; options.words
  // keeps the matches that start and end at word boundaries (see ScanOptions). Positions whose
  // byte begins no key, and in words mode those inside a word, are never walked; the others
  // are walked many at a time, as in findMany(). On a damaged file each walk still ends
  // within the text. One per thread. REQUIRES: the view and the text outlive the scan's use
  // and stay as they are meanwhile.
  class Scanner {
   public:
    // Starts scanning text[0 .. length).
    void reset(const IndexView& view, const char* text, std::size_t length,
               const ScanOptions& options = ScanOptions()) {
      view_ = &view;
      scan_.reset(text, length, options, view.tables_ ? view.firstBytes() : internal::ByteSet());
    }

    // Moves to the next match; false when there are no more.
    bool next() {
      if (view_ == nullptr) return false;
      return scan_.next([this](const std::size_t* positions, std::size_t count,
                               std::vector<internal::ScanMatch>& out) {
        if (scan_.options().ignoreCase) {
          foldWalks_.run(view_->units_, scan_.text(), scan_.size(), positions, count,
                         scan_.options(), scan_.rule(), out, scan_.keys());
        } else {
          walks_.run(view_->units_, scan_.text(), scan_.size(), positions, count, scan_.options(),
                     scan_.rule(), out);
        }
      });
    }

    // The current match: where it starts in the text, its length and its key's value.
    // REQUIRES: the last next() returned true.
    std::size_t position() const { return scan_.match().position; }
    std::size_t length() const { return scan_.match().length; }
    std::int32_t value() const { return static_cast<std::int32_t>(scan_.value()); }
    // The current match's key as stored: the text it covers, unless case is ignored.
    std::string_view key() const { return scan_.key(); }

   private:
    const IndexView* view_ = nullptr;
    internal::TextScan scan_;
    internal::ScanWalks walks_;
    internal::FoldScanWalks foldWalks_;
  };

  // Calls onMatch(position, length, value) for each match of text[0 .. length) in the order a
  // Scanner gives them; onMatch may return bool, and false stops the scan. Returns the number
  // of matches passed to onMatch.
  template <class OnMatch>
  std::size_t scan(const char* text, std::size_t length, const ScanOptions& options,
                   OnMatch&& onMatch) const {
    Scanner scanner;
    return internal::scanAll(scanner, *this, text, length, options, onMatch);
  }
  template <class OnMatch>
  std::size_t scan(const char* text, std::size_t length, OnMatch&& onMatch) const {
    return scan(text, length, ScanOptions(), onMatch);
  }

  // Ranked completion: calls onKey(key, value, weight) for the `n` keys that begin with
  // prefix[0 .. length) with the greatest weights in `weights` (this index's companion), the
  // heaviest first and ties in byte order of the keys: a best-first search that takes a node
  // only while its bound may still place a key. Returns kOk; kBadBounds when a bound exceeds
  // its node's (a companion that does not fit these units); kCorrupt when the walk takes up
  // more units than there are: in a tree each is taken up once, and units that share
  // children (a damaged file) would make the search's memory grow with the square of the file.
  template <class OnKey>
  int top(const WeightTable& weights, const char* prefix, std::size_t length, std::size_t n,
          OnKey&& onKey) const {
    std::size_t node = 0;
    std::size_t pos = 0;
    if (n == 0 || units_.count() == 0 || traverse(prefix, length, node, pos) == kNoPath) {
      return kOk;
    }
    // A path below the prefix is its last step, which links to the step before: memory grows
    // with the units taken up, not with the bytes of their paths (a deep chain with many
    // leaves would hold the square of its depth).
    struct Step {
      std::uint32_t parent;
      unsigned char byte;
    };
    constexpr std::uint32_t kAtPrefix = ~std::uint32_t{0};
    std::vector<Step> steps;
    struct Item {
      std::uint64_t head;  // the path's first 8 bytes below the prefix, the first highest
      std::uint32_t bound;
      std::uint32_t unit;
      std::uint32_t step;   // the path's last, kAtPrefix for the prefix itself
      std::uint32_t depth;  // its steps below the prefix
      bool end;             // a unit that ends a key
    };
    // Whether a's path comes after b's in byte order: the deeper climbs to the other's depth,
    // then both climb until their next steps meet; a path comes after its own prefixes.
    auto pathAfter = [&steps](std::uint32_t a, std::uint32_t da, std::uint32_t b,
                              std::uint32_t db) {
      const bool longer = da > db;
      for (; da > db; --da) a = steps[a].parent;
      for (; db > da; --db) b = steps[b].parent;
      if (a == b) return longer;
      while (steps[a].parent != steps[b].parent) {
        a = steps[a].parent;
        b = steps[b].parent;
      }
      return steps[a].byte > steps[b].byte;
    };
    // The heaviest on top, of equal bounds the first in byte order: what a node holds comes
    // after the key its path spells, and a key before a sibling's subtree.
    // Most ties are settled by the paths' heads (a shorter path's is padded with zero bytes,
    // which sort it before the paths it begins).
    auto later = [&pathAfter](const Item& a, const Item& b) {
      if (a.bound != b.bound) return a.bound < b.bound;
      if (a.head != b.head) return a.head > b.head;
      if (a.depth <= 8 && b.depth <= 8) return a.depth > b.depth;
      return pathAfter(a.step, a.depth, b.step, b.depth);
    };
    std::vector<Item> heap;
    heap.push_back(
        Item{0, weights.bound(node), static_cast<std::uint32_t>(node), kAtPrefix, 0, false});
    const internal::EdgeCodes& codes = edgeCodes();
    internal::ChildMask children;
    std::string key;
    std::size_t taken = 1;  // items pushed: the root's
    while (!heap.empty() && n != 0) {
      std::pop_heap(heap.begin(), heap.end(), later);
      const Item item = heap.back();
      heap.pop_back();
      if (item.end) {
        --n;
        key.assign(prefix, length);
        key.resize(length + item.depth);
        for (std::uint32_t s = item.step, at = item.depth; at-- > 0; s = steps[s].parent) {
          key[length + at] = static_cast<char>(steps[s].byte);
        }
        if (!internal::goOnRanked(onKey, key, Format::decodeValue(units_.base(item.unit)),
                                  item.bound)) {
          return kOk;
        }
        continue;
      }
      const std::int32_t b = units_.base(item.unit);
      internal::findChildren(units_, codes, b, children);
      for (int code; (code = children.takeFirst()) >= 0;) {
        const std::size_t child = static_cast<std::size_t>(b) + static_cast<std::size_t>(code);
        const std::uint32_t bound = weights.bound(child);
        if (bound > item.bound) return kBadBounds;
        if (++taken > units_.count()) return kCorrupt;
        if (code == 0) {
          if (Format::decodeValue(units_.base(child)) < 0) continue;
          heap.push_back(Item{item.head, bound, static_cast<std::uint32_t>(child), item.step,
                              item.depth, true});
        } else {
          if (units_.base(child) <= 0) continue;
          const auto byte = static_cast<unsigned char>(code - 1);
          steps.push_back(Step{item.step, byte});
          const std::uint64_t head =
              item.depth < 8 ? item.head | std::uint64_t{byte} << (56 - 8 * item.depth) : item.head;
          heap.push_back(Item{head, bound, static_cast<std::uint32_t>(child),
                              static_cast<std::uint32_t>(steps.size() - 1), item.depth + 1, false});
        }
        std::push_heap(heap.begin(), heap.end(), later);
      }
    }
    return kOk;
  }

  // Walks the paths from the root whose characters equal those of query[0 .. length), one
  // for one, after simple case folding (ScanOptions::ignoreCase): calls
  // onPath(span, value, key) at the end of each of the query's characters that a path
  // reaches, span bytes of the query in, with the value of the key that ends there (-1 for
  // none) and the path's bytes; depth first, in byte order of the paths. onPath returns
  // whether to go on below (FoldWalk::kDeeper), not to (kSkip), or to stop (kStop).
  template <class OnPath>
  void walkFolded(const char* query, std::size_t length, internal::FoldWalk& walk,
                  OnPath&& onPath) const {
    if (units_.count() == 0) return;
    walk.run(units_, 0, reinterpret_cast<const unsigned char*>(query), length, false,
             [&](std::size_t node, std::size_t span) {
               return onPath(span, units_.valueAt(node), walk.key());
             });
  }

  // Calls onKey(key, value) for every key, in byte order; onKey may return bool, and false
  // stops the listing. Returns kOk, or kCorrupt when the units do not form a tree (a unit
  // reached twice, as by two groups sharing a base or a cycle); the keys before that point have
  // been reported. Marks a bit per unit.
  template <class OnKey>
  int forEach(OnKey&& onKey) const {
    if (units_.count() == 0) return kOk;
    internal::Listing listing;
    listing.reset(units_, edgeCodes(), 0, "", 0, 0);
    for (;;) {
      switch (listing.advance()) {
        case internal::Listing::kKey:
          if (!internal::goOn(onKey, listing.key(), listing.value())) return kOk;
          break;
        case internal::Listing::kEnd:
          return kOk;
        case internal::Listing::kLoop:
          return kCorrupt;
      }
    }
  }

  // The number of keys: the units that end a key (a negative base and a non-zero check),
  // counted in one pass on the first call and kept. On an index that DoubleArray wrote this
  // is the number of distinct keys; on a damaged file it counts such units wherever they lie,
  // reachable or not, so it may differ from what forEach() lists.
  std::size_t keyCount() const {
    if (!tables_) return 0;
    std::call_once(tables_->countOnce, [this] {
      tables_->keyCount = internal::countKeyEnds(units_);
      tables_->counted.store(true, std::memory_order_release);
    });
    return tables_->keyCount;
  }

  // Makes ahead of the first listing what listings need (a pass over the units that the first
  // cursor, dump or prediction would make), asking keepGoing() between blocks: false when it
  // stopped, and nothing is kept then.
  template <class KeepGoing>
  bool prepareListings(KeepGoing&& keepGoing) const {
    if (!tables_ || tables_->codesLearned.load(std::memory_order_acquire)) return true;
    internal::EdgeCodes codes;
    if (!codes.learn(units_, keepGoing)) return false;
    std::call_once(tables_->codesOnce, [&] {
      tables_->codes = std::move(codes);
      tables_->codesLearned.store(true, std::memory_order_release);
    });
    return true;
  }

  // keyCount() that asks keepGoing() between blocks of units, as the first count reads the
  // whole file (from the disk when it is not in memory): false when keepGoing() stopped it,
  // and nothing is kept then; else true with `count` set.
  template <class KeepGoing>
  bool keyCount(std::size_t& count, KeepGoing&& keepGoing) const {
    count = 0;
    if (!tables_) return true;
    if (!tables_->counted.load(std::memory_order_acquire)) {
      constexpr std::size_t kBlock = std::size_t{1} << 20;  // 8 MiB of units
      std::size_t found = 0;
      for (std::size_t from = 0; from < units_.count(); from += kBlock) {
        if (!keepGoing()) return false;
        found += internal::countKeyEnds(units_, from, from + kBlock);
      }
      std::call_once(tables_->countOnce, [&] {
        tables_->keyCount = found;
        tables_->counted.store(true, std::memory_order_release);
      });
    }
    count = tables_->keyCount;
    return true;
  }

  // Value -> key: sets `key` to the key whose value is `value` and returns true, or returns
  // false when no key has it. When several keys share the value, the first of them in byte
  // order comes back. The first call walks the trie once and keeps up to 12 bytes a unit,
  // built in time linear in the units. On a damaged file the walk stops where the units stop
  // forming a tree (a unit reached again is not followed); keys beyond such a point give
  // false, and every key returned is one that find() maps to `value`.
  bool restoreKey(std::int32_t value, std::string& key) const {
    key.clear();
    if (!tables_ || value < 0) return false;
    std::call_once(tables_->reverseOnce, [this] { tables_->reverse.build(units_, edgeCodes()); });
    return tables_->reverse.restore(units_, static_cast<std::uint32_t>(value), key);
  }

 private:
  // A sharded index scans each shard's units with the same walks.
  friend class ShardedIndex;

  // What the view builds on first use and keeps; behind a pointer so that views stay movable.
  struct Tables {
    std::once_flag codesOnce;
    internal::EdgeCodes codes;
    std::atomic<bool> codesLearned{false};
    std::once_flag startsOnce;
    internal::ByteSet starts;
    std::once_flag countOnce;
    std::size_t keyCount = 0;
    std::atomic<bool> counted{false};
    std::once_flag reverseOnce;
    internal::ReverseTable reverse;
  };

  // Takes the units of a file just mapped, or closes the view with the mapping's status.
  int adopt(int status) {
    const int error = errno;
    if (status == kOk) status = adoptUnits(file_.data(), file_.bytes());
    if (status != kOk) close();
    errno = error;
    return status;
  }
  int adoptUnits(const unsigned char* data, std::size_t bytes) {
    units_ = internal::Units(data, bytes / Format::kUnitBytes);
    if (!units_.validRoot()) {
      close();
      return kNotAnIndex;
    }
    tables_ = std::make_unique<Tables>();
    return kOk;
  }

  const internal::ByteSet& firstBytes() const {
    std::call_once(tables_->startsOnce, [this] { tables_->starts = internal::firstBytes(units_); });
    return tables_->starts;
  }

  const internal::EdgeCodes& edgeCodes() const {
    std::call_once(tables_->codesOnce, [this] {
      tables_->codes.learn(units_);
      tables_->codesLearned.store(true, std::memory_order_release);
    });
    return tables_->codes;
  }

  void swap(IndexView& other) noexcept {
    std::swap(file_, other.file_);
    std::swap(units_, other.units_);
    std::swap(tables_, other.tables_);
  }

  internal::MappedFile file_;
  internal::Units units_;
  std::unique_ptr<Tables> tables_;
};

namespace internal {

// The failure of IndexView::top() (any status but kOk) on the index file at `path`: bounds
// that do not fit are its companion's fault, a walk that does not end its units'.
inline Status topFailure(int status, const std::string& path) {
  return Status::failure(kIndexCorrupt,
                         status == IndexView::kBadBounds ? weightsPathOf(path) : path);
}

}  // namespace internal
}  // namespace Tessel
