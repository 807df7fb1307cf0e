#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Tessel {

// A read-only view of an index file: the array of 8-byte units (signed 32-bit base, unsigned
// 32-bit check, host byte order) that DoubleArray::save writes.
//
// Every unit access is bounds-checked, so a damaged or hostile file gives ordinary answers or
// kCorrupt, never a read outside the data or an endless loop. A const view may be used from
// several threads at once, including the first calls that build keyCount()'s and
// restoreKey()'s tables.
class IndexView {
 public:
  // Results of open() and attach(), and of the whole-trie walks.
  static constexpr int kOk = 0;
  static constexpr int kCannotOpen = 1;  // the file cannot be opened, read or mapped
  static constexpr int kNotAnIndex = 2;  // not a regular file, wrong size, or unit 0 not (1, 0)
  static constexpr int kCorrupt = 3;     // a walk reached a unit twice: not a tree

  // Results of traverse() besides a value (>= 0).
  static constexpr long kNoValue = -1;  // the path exists, but no key ends there
  static constexpr long kNoPath = -2;   // the path breaks before the end of the bytes

  static constexpr std::size_t kUnitBytes = 8;
  static constexpr std::size_t kTailUnits = 257;

  class Cursor;
  // Memory that predict() reuses from one call to the next; one per thread.
  using Scratch = Cursor;

  IndexView() = default;
  ~IndexView() { close(); }
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
  int open(const char* path) {
    close();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return kCannotOpen;
    struct stat st;
    int status = kOk;
    int error = 0;
    if (::fstat(fd, &st) != 0) {
      status = kCannotOpen;
      error = errno;
    } else if (S_ISDIR(st.st_mode)) {
      status = kCannotOpen;
      error = EISDIR;
    } else if (!S_ISREG(st.st_mode) || !validSize(static_cast<std::size_t>(st.st_size))) {
      status = kNotAnIndex;
    } else {
      void* memory =
          ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
      if (memory == MAP_FAILED) {
        status = kCannotOpen;
        error = errno;
      } else {
        data_ = static_cast<const unsigned char*>(memory);
        mapped_ = static_cast<std::size_t>(st.st_size);
        unitCount_ = mapped_ / kUnitBytes;
        if (!validRoot()) status = kNotAnIndex;
      }
    }
    ::close(fd);
    if (status != kOk) close();
    if (status == kOk) tables_ = std::make_unique<Tables>();
    if (error != 0) errno = error;
    return status;
  }

  // Views `bytes` bytes at `data`, which the caller owns and keeps alive and unchanged while
  // the view is used. Any alignment will do. Returns kOk or kNotAnIndex.
  int attach(const void* data, std::size_t bytes) {
    close();
    if (data == nullptr || !validSize(bytes)) return kNotAnIndex;
    data_ = static_cast<const unsigned char*>(data);
    unitCount_ = bytes / kUnitBytes;
    if (!validRoot()) {
      close();
      return kNotAnIndex;
    }
    tables_ = std::make_unique<Tables>();
    return kOk;
  }

  // Releases the mapping and the tables built on first use; the view is then empty and finds
  // nothing. REQUIRES: no other thread is using the view.
  void close() {
    if (mapped_ != 0) ::munmap(const_cast<unsigned char*>(data_), mapped_);
    data_ = nullptr;
    mapped_ = 0;
    unitCount_ = 0;
    tables_.reset();
  }

  // Number of units; 0 for an empty view.
  std::size_t size() const { return unitCount_; }

  // The first byte of the units (nullptr for an empty view); size() * kUnitBytes bytes.
  const void* data() const { return data_; }

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
  // REQUIRES: keys, lengths and values each hold `count` elements.
  void findMany(std::size_t count, const char* const* keys, const std::size_t* lengths,
                std::int32_t* values) const {
    Batch batch(*this, count, keys, lengths);
    std::size_t query;
    long value;
    while (batch.nextExact(query, value)) values[query] = static_cast<std::int32_t>(value);
  }

  // Follows key[pos .. length) from unit `node` (0 is the root), advancing node and pos past
  // every byte followed. Returns the value of the key that ends at the node reached when all
  // bytes were followed, kNoValue when no key ends there, and kNoPath when a byte has no edge
  // (node and pos then stop before it). Matching can go on across buffers from node and pos.
  long traverse(const char* key, std::size_t length, std::size_t& node, std::size_t& pos) const {
    for (; pos < length; ++pos) {
      const std::size_t next = child(node, static_cast<unsigned char>(key[pos]) + 1u);
      if (next == kNone) return kNoPath;
      node = next;
    }
    return valueAt(node);
  }

  // Calls onMatch(length, value) for every key that is a prefix of query[0 .. length),
  // shortest first. Returns the number of matches.
  template <class OnMatch>
  std::size_t commonPrefixes(const char* query, std::size_t length, OnMatch&& onMatch) const {
    std::size_t matches = 0;
    std::size_t node = 0;
    for (std::size_t pos = 0; unitCount_ != 0; ++pos) {
      const long value = valueAt(node);
      if (value >= 0) {
        onMatch(pos, static_cast<std::int32_t>(value));
        ++matches;
      }
      if (pos == length) break;
      node = child(node, static_cast<unsigned char>(query[pos]) + 1u);
      if (node == kNone) break;
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
    Batch batch(*this, count, queries, lengths);
    std::size_t matches = 0;
    while (batch.nextPrefixBlock()) matches += batch.reportPrefixBlock(onMatch);
    return matches;
  }

  // A set of codes, 0 to 256: the children of a node.
  class ChildMask {
   public:
    void clear() { std::fill(words_, words_ + kWords, 0); }
    bool empty() const { return (words_[0] | words_[1] | words_[2] | words_[3] | words_[4]) == 0; }
    void add(std::size_t code) { words_[code / 64] |= std::uint64_t{1} << (code % 64); }
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
    friend class IndexView;
    static constexpr int kWords = 5;
    std::uint64_t words_[kWords] = {};
  };

  // Lists the keys below a prefix one at a time, in byte order, for as long as the caller
  // likes: a cursor can be kept between calls and reused for another prefix, which then
  // allocates nothing once its buffers have grown. Its walk takes at most size() steps, so it
  // ends on any file; on a damaged one it may list a key twice. One per thread.
  // REQUIRES: the view outlives the cursor's use and is not closed or moved meanwhile.
  class Cursor {
   public:
    Cursor() = default;

    // Starts listing the keys that begin with prefix[0 .. length).
    void reset(const IndexView& view, const char* prefix, std::size_t length) {
      view_ = &view;
      key_.assign(prefix, length);
      stack_.clear();
      steps_ = 0;
      value_ = -1;
      std::size_t node = 0;
      std::size_t pos = 0;
      if (view.unitCount_ != 0 && view.traverse(prefix, length, node, pos) != kNoPath) push(node);
    }

    // Moves to the next key; false when there are no more.
    bool next() { return advance(nullptr) == kKey; }

    // The current key and its value. REQUIRES: the last next() returned true.
    const std::string& key() const { return key_; }
    std::int32_t value() const { return value_; }

   private:
    friend class IndexView;
    enum Step { kKey, kEnd, kLoop };
    // A node whose children are not all listed yet. A node leaves the stack as its last child
    // is taken, so a chain of single children, however long, holds no frames.
    struct Frame {
      std::uint32_t base;
      std::size_t keyLength;  // the node's key is key_[0 .. keyLength)
      ChildMask children;     // the codes not yet listed
    };

    void push(std::size_t node) {
      stack_.emplace_back();
      Frame& frame = stack_.back();
      const std::int32_t b = view_->base(node);
      frame.base = static_cast<std::uint32_t>(b);
      frame.keyLength = key_.size();
      view_->children(b, frame.children);
      if (frame.children.empty()) stack_.pop_back();
    }

    // Depth first, children in code order. With `seen`, a unit reached twice ends the walk
    // with kLoop; without, the walk ends after size() steps.
    Step advance(std::vector<bool>* seen) {
      const std::size_t units = view_ == nullptr ? 0 : view_->unitCount_;
      while (!stack_.empty()) {
        Frame& top = stack_.back();
        const auto code = static_cast<std::size_t>(top.children.takeFirst());
        const std::size_t next = std::size_t{top.base} + code;
        key_.resize(top.keyLength);
        if (top.children.empty()) stack_.pop_back();
        if (++steps_ > units) return kLoop;
        if (seen != nullptr) {
          if ((*seen)[next]) return kLoop;
          (*seen)[next] = true;
        }
        if (code == 0) {
          const long value = view_->terminalValue(next);
          if (value < 0) continue;
          value_ = static_cast<std::int32_t>(value);
          return kKey;
        }
        key_.push_back(static_cast<char>(code - 1));
        push(next);
      }
      return kEnd;
    }

    const IndexView* view_ = nullptr;
    std::string key_;
    std::vector<Frame> stack_;
    std::size_t steps_ = 0;
    std::int32_t value_ = -1;
  };

  // Calls onKey(key, value) with a std::string holding each key that begins with
  // prefix[0 .. length), in byte order, up to `limit` keys. onKey may return bool: false stops
  // the listing after that key. A walk takes at most size() steps, so it ends on any file; on
  // a damaged one it may list a key twice. Returns the number of keys passed to onKey. With
  // `scratch`, repeated calls allocate nothing once its buffers have grown.
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey, Scratch& scratch,
                      std::size_t limit = std::numeric_limits<std::size_t>::max()) const {
    scratch.reset(*this, prefix, length);
    std::size_t found = 0;
    while (found < limit && scratch.next()) {
      ++found;
      if (!goOn(onKey, static_cast<const std::string&>(scratch.key_), scratch.value_)) break;
    }
    return found;
  }
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey) const {
    Scratch scratch;
    return predict(prefix, length, onKey, scratch);
  }

  // Calls onKey(key, value) for every key, in byte order; onKey may return bool, and false
  // stops the listing. Returns kOk, or kCorrupt when the units do not form a tree (a unit
  // reached twice, as by two groups sharing a base or a cycle); the keys before that point have
  // been reported.
  template <class OnKey>
  int forEach(OnKey&& onKey) const {
    if (unitCount_ == 0) return kOk;
    std::vector<bool> seen(reachableUnits());
    Cursor cursor;
    cursor.reset(*this, "", 0);
    seen[0] = true;
    for (;;) {
      switch (cursor.advance(&seen)) {
        case Cursor::kKey:
          if (!goOn(onKey, static_cast<const std::string&>(cursor.key_), cursor.value_)) return kOk;
          break;
        case Cursor::kEnd:
          return kOk;
        case Cursor::kLoop:
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
    std::call_once(tables_->countOnce, [this] { tables_->keyCount = countTerminals(); });
    return tables_->keyCount;
  }

  // Value -> key: sets `key` to the key whose value is `value` and returns true, or returns
  // false when no key has it. When several keys share the value, the first of them in byte
  // order comes back. The first call walks the trie once and keeps a parent for every unit
  // (4 bytes a unit) and a table from values to their key ends (4 bytes per value up to the
  // largest value when values are dense, else 8 bytes a key): up to 12 bytes a unit, built in
  // time linear in the units. On a damaged file the walk stops where the units stop forming a
  // tree (a unit reached again is not followed); keys beyond such a point give false, and
  // every key returned is one that find() maps to `value`.
  bool restoreKey(std::int32_t value, std::string& key) const {
    key.clear();
    if (!tables_ || value < 0) return false;
    std::call_once(tables_->reverseOnce, [this] { buildReverse(); });
    const Tables& t = *tables_;
    std::uint32_t unit = kNoUnit;
    const std::uint32_t v = static_cast<std::uint32_t>(value);
    if (!t.sparseEnds.empty()) {
      const auto it = std::lower_bound(t.sparseEnds.begin(), t.sparseEnds.end(), v,
                                       [](const std::pair<std::uint32_t, std::uint32_t>& e,
                                          std::uint32_t x) { return e.first < x; });
      if (it != t.sparseEnds.end() && it->first == v) unit = it->second;
    } else if (v < t.denseEnds.size()) {
      unit = t.denseEnds[v];
    }
    if (unit == kNoUnit) return false;
    // Parents were set in walk order, so following them always ends at the root.
    for (unit = t.parent[unit]; unit != 0; unit = t.parent[unit]) {
      key.push_back(static_cast<char>(unit - static_cast<std::uint32_t>(base(t.parent[unit])) - 1));
    }
    std::reverse(key.begin(), key.end());
    return true;
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::size_t kMaxCode = 256;
  static constexpr std::uint32_t kNoUnit = ~std::uint32_t{0};

  // What the view builds on first use and keeps; behind a pointer so that views stay movable.
  struct Tables {
    std::once_flag codesOnce;
    bool endCode = false;              // whether some edge has code 0
    std::vector<std::uint8_t> groups;  // g for each four codes 4g .. 4g + 3 of which some
                                       // edge has one, 0 aside; ascending
    std::once_flag countOnce;
    std::size_t keyCount = 0;
    std::once_flag reverseOnce;
    std::vector<std::uint32_t> parent;     // walk parent of each reached unit, else kNoUnit
    std::vector<std::uint32_t> denseEnds;  // value -> key end, when values are dense
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sparseEnds;  // (value, key end)
  };

  // Walks of many queries at once, kept in flight together; see findMany().
  class Batch {
   public:
    struct Match {
      std::size_t query;
      std::size_t length;
      long value;
    };

    Batch(const IndexView& view, std::size_t count, const char* const* keys,
          const std::size_t* lengths)
        : view_(view), count_(count), keys_(keys), lengths_(lengths) {}

    // Finishes one more exact walk: its query and its value (-1 for a non-key). False when
    // all are done.
    bool nextExact(std::size_t& query, long& value) {
      if (view_.unitCount_ == 0) {
        if (started_ == count_) return false;
        query = started_++;
        value = kNoValue;
        return true;
      }
      if (live_ == 0) fill(false);
      // Round robin, so that each walk's prefetched unit has time to arrive.
      while (live_ != 0) {
        if (at_ >= live_) at_ = 0;
        Walk& w = walks_[at_];
        if (stepExact(w)) {
          ++at_;
          continue;
        }
        query = w.query;
        value = w.value;
        if (start(w, false)) {
          ++at_;
        } else {
          w = walks_[--live_];
        }
        return true;
      }
      return false;
    }

    // Runs the common-prefix walks of the next block of queries; false when none are left.
    bool nextPrefixBlock() {
      if (started_ == count_ || view_.unitCount_ == 0) return false;
      // Each query of the block gets a slot per position up to kSlotsPerQuery, where its walk
      // writes what it finds there and a bit that tells whether it is a key; a longer match
      // goes to overflow_.
      blockStart_ = started_;
      blockEnd_ = started_;
      std::size_t slots = 0;
      slotStart_.clear();
      while (blockEnd_ < count_ && blockEnd_ - blockStart_ < kBlock &&
             (slots < kBlockSlots || blockEnd_ == blockStart_)) {
        slotStart_.push_back(slots);
        slots += std::min(lengths_[blockEnd_] + 1, kSlotsPerQuery);
        ++blockEnd_;
      }
      slotStart_.push_back(slots);
      if (slots_.size() < slots) slots_.resize(slots);
      found_.assign(blockEnd_ - blockStart_, 0);
      overflow_.clear();
      fill(true);
      while (live_ != 0) {
        for (std::size_t i = 0; i < live_; ++i) {
          if (stepPrefix(walks_[i])) continue;
          found_[walks_[i].query - blockStart_] = walks_[i].found;
          if (!start(walks_[i], true)) {
            walks_[i] = walks_[--live_];
            --i;
          }
        }
      }
      return true;
    }

    // Calls onMatch(query, length, value) for the matches of the last block, in query order,
    // and returns their number.
    template <class OnMatch>
    std::size_t reportPrefixBlock(OnMatch& onMatch) {
      // Walks ran side by side; each query's long matches were added in their order.
      std::stable_sort(overflow_.begin(), overflow_.end(),
                       [](const Match& a, const Match& b) { return a.query < b.query; });
      std::size_t reported = 0;
      auto more = overflow_.begin();
      for (std::size_t q = blockStart_; q < blockEnd_; ++q) {
        const std::size_t first = slotStart_[q - blockStart_];
        for (std::uint64_t found = found_[q - blockStart_]; found != 0; found &= found - 1) {
          const auto length = static_cast<std::size_t>(__builtin_ctzll(found));
          onMatch(q, length, slots_[first + length]);
          ++reported;
        }
        for (; more != overflow_.end() && more->query == q; ++more) {
          onMatch(q, more->length, static_cast<std::int32_t>(more->value));
          ++reported;
        }
      }
      return reported;
    }

   private:
    static constexpr std::size_t kInFlight = 64;
    static constexpr std::size_t kBlock = 1024;
    static constexpr std::size_t kBlockSlots = 1 << 15;
    static constexpr std::size_t kSlotsPerQuery = 64;

    // An exact walk waits at `unit`, reached from a node whose base is `parent` by the code
    // of byte pos - 1 (or code 0 when pos > length). A common-prefix walk waits at a node
    // whose base is `parent`, about to look at its key end and at the child for byte pos.
    struct Walk {
      const unsigned char* key;
      std::size_t length;
      std::size_t pos;
      std::size_t unit;
      std::uint32_t parent;
      std::size_t query;
      long value;
      std::size_t slot;       // a common-prefix walk's first slot
      std::size_t slotCount;  // and the number of its slots
      std::uint64_t found;    // bit n: a key of length n, its value in slot + n
    };

    void prefetch(std::size_t unit) const {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
      // As asm: GCC drops __builtin_prefetch from the common-prefix walk. A prefetch never
      // faults, so an address past the units needs no test; it is computed as an integer.
      const std::uintptr_t address =
          reinterpret_cast<std::uintptr_t>(view_.data_) + unit * kUnitBytes;
      __asm__ volatile("prefetcht0 (%0)" : : "r"(address));
#elif defined(__GNUC__) || defined(__clang__)
      if (unit < view_.unitCount_) __builtin_prefetch(view_.data_ + unit * kUnitBytes);
#else
      (void)unit;
#endif
    }

    void fill(bool prefixes) {
      while (live_ < kInFlight && start(walks_[live_], prefixes)) ++live_;
    }

    // Starts the next query in `w`; false when there is none (in this block, for prefixes).
    bool start(Walk& w, bool prefixes) {
      if (started_ == (prefixes ? blockEnd_ : count_)) return false;
      const std::size_t q = started_++;
      w.key = reinterpret_cast<const unsigned char*>(keys_[q]);
      w.length = lengths_[q];
      w.query = q;
      w.value = kNoValue;
      w.parent = static_cast<std::uint32_t>(view_.base(0));
      if (prefixes) {
        w.pos = 0;
        w.slot = slotStart_[q - blockStart_];
        w.slotCount = slotStart_[q - blockStart_ + 1] - w.slot;
        w.found = 0;
        prefetchPrefix(w);
      } else {
        w.pos = 1;
        w.unit = w.parent + (w.length > 0 ? w.key[0] + 1u : 0u);
        prefetch(w.unit);
      }
      return true;
    }

    // One step of an exact walk; false when it is done, with w.value set.
    bool stepExact(Walk& w) const {
      if (w.unit >= view_.unitCount_ || view_.check(w.unit) != w.parent) return false;
      if (w.pos > w.length) {
        w.value = view_.terminalValue(w.unit);
        return false;
      }
      const std::int32_t b = view_.base(w.unit);
      if (b <= 0) return false;
      const std::size_t code = w.pos < w.length ? w.key[w.pos] + 1u : 0u;
      ++w.pos;
      w.parent = static_cast<std::uint32_t>(b);
      w.unit = static_cast<std::size_t>(b) + code;
      prefetch(w.unit);
      return true;
    }

    void prefetchPrefix(const Walk& w) const {
      prefetch(w.parent);
      if (w.pos < w.length) prefetch(std::size_t{w.parent} + w.key[w.pos] + 1u);
    }

    // One step of a common-prefix walk; false when it is done.
    bool stepPrefix(Walk& w) {
      const std::size_t end = w.parent;
      if (end < view_.unitCount_) {
        // No branch on the answer: a mispredicted one would wait for the unit to arrive.
        const std::int32_t b = view_.base(end);
        const std::int32_t value = view_.check(end) == w.parent && b < 0 ? -(b + 1) : -1;
        if (w.pos < w.slotCount) {
          slots_[w.slot + w.pos] = value;
          w.found |= std::uint64_t{value >= 0} << w.pos;
        } else if (value >= 0) {
          overflow_.push_back(Match{w.query, w.pos, value});
        }
      }
      if (w.pos == w.length) return false;
      const std::size_t next = std::size_t{w.parent} + w.key[w.pos] + 1u;
      if (next >= view_.unitCount_ || view_.check(next) != w.parent) return false;
      const std::int32_t b = view_.base(next);
      if (b <= 0) return false;
      ++w.pos;
      w.parent = static_cast<std::uint32_t>(b);
      prefetchPrefix(w);
      return true;
    }

    const IndexView& view_;
    std::size_t count_;
    const char* const* keys_;
    const std::size_t* lengths_;
    std::size_t started_ = 0;
    std::size_t blockStart_ = 0;
    std::size_t blockEnd_ = 0;
    Walk walks_[kInFlight] = {};
    std::size_t live_ = 0;
    std::size_t at_ = 0;
    std::vector<std::size_t> slotStart_;  // for each query of the block, and its end
    std::vector<std::int32_t> slots_;
    std::vector<std::uint64_t> found_;  // each query's Walk::found
    std::vector<Match> overflow_;
  };

  static bool validSize(std::size_t bytes) {
    return bytes % kUnitBytes == 0 && bytes / kUnitBytes >= 1 + kTailUnits;
  }
  bool validRoot() const {
    return base(0) == 1 && check(0) == 0;
  }

  // No walk goes past the largest base plus the largest code.
  std::size_t reachableUnits() const {
    const std::size_t most = std::size_t{std::numeric_limits<std::int32_t>::max()} + kMaxCode + 1;
    return std::min(unitCount_, most);
  }

  // Calls onKey and tells whether the listing goes on: onKey's bool, or true when it returns
  // nothing.
  template <class OnKey>
  static bool goOn(OnKey& onKey, const std::string& key, std::int32_t value) {
    if constexpr (std::is_convertible_v<decltype(onKey(key, value)), bool>) {
      return static_cast<bool>(onKey(key, value));
    } else {
      onKey(key, value);
      return true;
    }
  }

  std::int32_t base(std::size_t unit) const {
    std::int32_t v;
    std::memcpy(&v, data_ + unit * kUnitBytes, sizeof v);
    return v;
  }
  std::uint32_t check(std::size_t unit) const {
    std::uint32_t v;
    std::memcpy(&v, data_ + unit * kUnitBytes + 4, sizeof v);
    return v;
  }

  // The unit reached from `node` by `code`, or kNone.
  std::size_t child(std::size_t node, std::size_t code) const {
    if (node >= unitCount_) return kNone;
    const std::int32_t b = base(node);
    if (b <= 0) return kNone;
    const std::size_t next = static_cast<std::size_t>(b) + code;
    if (next >= unitCount_ || check(next) != static_cast<std::uint32_t>(b)) return kNone;
    return next;
  }

  // The value of the key ending at `node`, or kNoValue.
  long valueAt(std::size_t node) const {
    const std::size_t end = child(node, 0);
    return end == kNone ? kNoValue : terminalValue(end);
  }

  // The value a terminal unit holds as -value - 1, or kNoValue when its base is no value.
  long terminalValue(std::size_t unit) const {
    const std::int32_t b = base(unit);
    return b < 0 ? -static_cast<long>(b + 1) : kNoValue;
  }

  // The codes of all edges, learned in one pass on first use: a unit u with check c can only
  // be the child of code u - c. Listings then test only the units of these codes and find the
  // same children, as every edge's code is among them.
  const Tables& edgeCodes() const {
    std::call_once(tables_->codesOnce, [this] {
      std::uint8_t used[kMaxCode + 2] = {};  // the last one collects the units of no code
      for (std::size_t u = 0; u < unitCount_; ++u) {
        const std::size_t c = check(u);
        const std::size_t code = u - c;  // wraps past kMaxCode when c > u
        used[c == 0 || code > kMaxCode ? kMaxCode + 1 : code] = 1;
      }
      Tables& t = *tables_;
      t.endCode = used[0] != 0;
      for (std::uint32_t code = 1; code <= kMaxCode; ++code) {
        if (used[code] && (t.groups.empty() || t.groups.back() != code / 4)) {
          t.groups.push_back(static_cast<std::uint8_t>(code / 4));
        }
      }
    });
    return *tables_;
  }

  // Sets `mask` to the codes of the children of a node whose base is `b`.
  void children(std::int32_t b, ChildMask& mask) const {
    mask.clear();
    if (b <= 0 || static_cast<std::size_t>(b) >= unitCount_) return;
    const Tables& codes = edgeCodes();
    const std::size_t first = static_cast<std::size_t>(b);
    const std::size_t room = unitCount_ - first;  // codes below it stay inside the file
    const std::uint32_t want = static_cast<std::uint32_t>(b);
    if (codes.endCode && check(first) == want) mask.add(0);
#if defined(__SSE2__)
    // Four units at once: their check fields side by side, compared in one instruction. The
    // bits of each word gather in a register.
    if (room >= (kMaxCode / 4 + 1) * 4) {
      const __m128i wanted = _mm_set1_epi32(static_cast<int>(want));
      const unsigned char* units = data_ + first * kUnitBytes;
      std::uint64_t bits = 0;
      std::size_t word = 0;
      for (const std::uint8_t group : codes.groups) {
        if (group / 16u != word) {
          mask.words_[word] |= bits;
          bits = 0;
          word = group / 16u;
        }
        const unsigned char* p = units + std::size_t{group} * 4 * kUnitBytes;
        const __m128 low = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m128 high =
            _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        const __m128i checks = _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
        const auto equal = static_cast<std::uint64_t>(
            _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(checks, wanted))));
        bits |= equal << (group % 16u * 4);
      }
      mask.words_[word] |= bits;
      mask.words_[kMaxCode / 64] &= (std::uint64_t{2} << (kMaxCode % 64)) - 1;  // no code past 256
      return;
    }
#endif
    for (const std::uint8_t group : codes.groups) {
      const std::size_t from = 4 * static_cast<std::size_t>(group);
      const std::size_t to = std::min(from + 4, room);
      for (std::size_t code = from; code < to; ++code) {
        if (check(first + code) == want) mask.add(code);
      }
    }
  }

  std::size_t countTerminals() const {
    std::size_t count = 0;
    std::size_t u = 0;
#if defined(__SSE2__)
    // Four units at once; each lane of `found` counts down by one per key end, and is added up
    // before it could wrap.
    const __m128i zero = _mm_setzero_si128();
    while (u + 4 <= unitCount_) {
      __m128i found = zero;
      for (const std::size_t stop = std::min(unitCount_, u + (std::size_t{1} << 30)); u + 4 <= stop;
           u += 4) {
        const unsigned char* p = data_ + u * kUnitBytes;
        const __m128 low = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m128 high =
            _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        const __m128i bases = _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i checks = _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i ends =
            _mm_andnot_si128(_mm_cmpeq_epi32(checks, zero), _mm_srai_epi32(bases, 31));
        found = _mm_add_epi32(found, ends);
      }
      std::uint32_t lanes[4];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), found);
      for (const std::uint32_t lane : lanes) count += std::uint32_t{0} - lane;
    }
#endif
    for (; u < unitCount_; ++u) count += base(u) < 0 && check(u) != 0;
    return count;
  }

  // Walks the trie once, recording each reached unit's parent and each value's first key end.
  void buildReverse() const {
    Tables& t = *tables_;
    t.parent.assign(reachableUnits(), kNoUnit);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ends;  // (value, key end), byte order
    std::uint32_t largest = 0;
    std::vector<std::uint32_t> stack{0};
    t.parent[0] = 0;
    ChildMask mask;
    // Children are pushed in reverse code order so that they leave the stack in byte order.
    while (!stack.empty()) {
      const std::uint32_t node = stack.back();
      stack.pop_back();
      const std::int32_t b = base(node);
      children(b, mask);
      for (int code = mask.takeLast(); code >= 0; code = mask.takeLast()) {
        const std::size_t next = static_cast<std::size_t>(b) + static_cast<std::size_t>(code);
        if (t.parent[next] != kNoUnit) continue;  // reached twice: not a tree past here
        t.parent[next] = node;
        if (code != 0) {
          stack.push_back(static_cast<std::uint32_t>(next));
        } else if (terminalValue(next) >= 0) {
          const auto value = static_cast<std::uint32_t>(terminalValue(next));
          ends.emplace_back(value, static_cast<std::uint32_t>(next));
          largest = std::max(largest, value);
        }
      }
    }
    if (ends.empty()) return;
    if (largest / 2 <= ends.size()) {
      t.denseEnds.assign(std::size_t{largest} + 1, kNoUnit);
      for (const auto& [value, end] : ends) {
        if (t.denseEnds[value] == kNoUnit) t.denseEnds[value] = end;
      }
    } else {
      std::stable_sort(ends.begin(), ends.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      ends.erase(std::unique(ends.begin(), ends.end(),
                             [](const auto& a, const auto& b) { return a.first == b.first; }),
                 ends.end());
      t.sparseEnds = std::move(ends);
    }
  }

  void swap(IndexView& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(mapped_, other.mapped_);
    std::swap(unitCount_, other.unitCount_);
    std::swap(tables_, other.tables_);
  }

  const unsigned char* data_ = nullptr;
  std::size_t mapped_ = 0;  // bytes mapped by open(); 0 for attached memory
  std::size_t unitCount_ = 0;
  std::unique_ptr<Tables> tables_;
};

}  // namespace Tessel
