#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace Tessel {

// A read-only view of an index file: the array of 8-byte units (signed 32-bit base, unsigned
// 32-bit check, host byte order) that DoubleArray::save writes.
//
// Every unit access is bounds-checked, so a damaged or hostile file gives ordinary answers or
// kCorrupt, never a read outside the data or an endless loop. A const view may be used from
// several threads at once.
class IndexView {
 public:
  // Results of open() and attach(), and of the whole-trie walks.
  static constexpr int kOk = 0;
  static constexpr int kCannotOpen = 1;  // the file cannot be opened, read or mapped
  static constexpr int kNotAnIndex = 2;  // wrong size, or unit 0 is not the root (1, 0)
  static constexpr int kCorrupt = 3;     // a walk reached a unit twice: not a tree

  // Results of traverse() besides a value (>= 0).
  static constexpr long kNoValue = -1;  // the path exists, but no key ends there
  static constexpr long kNoPath = -2;   // the path breaks before the end of the bytes

  static constexpr std::size_t kUnitBytes = 8;
  static constexpr std::size_t kTailUnits = 257;

  // Memory that predict() reuses from one call to the next; one per thread.
  class Scratch {
    friend class IndexView;
    struct Step {
      std::size_t node;
      std::size_t code;  // the next code to try below node
    };
    std::string key;
    std::vector<Step> stack;
  };

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
  // Returns kOk, kCannotOpen or kNotAnIndex.
  int open(const char* path) {
    close();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kCannotOpen;
    struct stat st;
    int status = kOk;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      status = kCannotOpen;
    } else if (!S_ISREG(st.st_mode) || !validSize(static_cast<std::size_t>(st.st_size))) {
      status = kNotAnIndex;
    } else {
      void* memory =
          ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
      if (memory == MAP_FAILED) {
        status = kCannotOpen;
      } else {
        data_ = static_cast<const unsigned char*>(memory);
        mapped_ = static_cast<std::size_t>(st.st_size);
        unitCount_ = mapped_ / kUnitBytes;
        if (!validRoot()) status = kNotAnIndex;
      }
    }
    ::close(fd);
    if (status != kOk) close();
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
    return kOk;
  }

  // Releases the mapping; the view is then empty and finds nothing.
  void close() {
    if (mapped_ != 0) ::munmap(const_cast<unsigned char*>(data_), mapped_);
    data_ = nullptr;
    mapped_ = 0;
    unitCount_ = 0;
  }

  // Number of units; 0 for an empty view.
  std::size_t size() const { return unitCount_; }

  // Stores the value of the key key[0 .. length) in `value` and returns true when it is a key.
  bool find(const char* key, std::size_t length, std::int32_t& value) const {
    std::size_t node = 0;
    std::size_t pos = 0;
    const long result = traverse(key, length, node, pos);
    if (result < 0) return false;
    value = static_cast<std::int32_t>(result);
    return true;
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

  // Calls onKey(key, value) with a std::string holding each key that begins with
  // prefix[0 .. length), in byte order. A walk takes at most size() steps, so it ends on any
  // file; on a damaged one it may list a key twice. Returns the number of keys. With
  // `scratch`, repeated calls allocate nothing once its buffers have grown.
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey,
                      Scratch& scratch) const {
    std::size_t node = 0;
    std::size_t pos = 0;
    if (unitCount_ == 0 || traverse(prefix, length, node, pos) == kNoPath) return 0;
    scratch.key.assign(prefix, length);
    std::size_t found = 0;
    walk(node, scratch, nullptr, [&](const std::string& k, std::int32_t v) {
      onKey(k, v);
      ++found;
    });
    return found;
  }
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey) const {
    Scratch scratch;
    return predict(prefix, length, onKey, scratch);
  }

  // Calls onKey(key, value) for every key, in byte order. Returns kOk, or kCorrupt when the
  // units do not form a tree (a unit reached twice, as by two groups sharing a base or a
  // cycle); the keys before that point have been reported.
  template <class OnKey>
  int forEach(OnKey&& onKey) const {
    if (unitCount_ == 0) return kOk;
    std::vector<bool> seen(unitCount_);
    Scratch scratch;
    return walk(0, scratch, &seen, onKey);
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::size_t kMaxCode = 256;

  static bool validSize(std::size_t bytes) {
    return bytes % kUnitBytes == 0 && bytes / kUnitBytes >= 1 + kTailUnits;
  }
  bool validRoot() const { return base(0) == 1 && check(0) == 0; }

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

  // The first child of `node` whose code is `code` or more, with `code` moved to it; kNone
  // when there is none.
  std::size_t nextChild(std::size_t node, std::size_t& code) const {
    const std::int32_t b = base(node);
    if (b <= 0 || static_cast<std::size_t>(b) >= unitCount_) return kNone;
    const std::size_t first = static_cast<std::size_t>(b);
    const std::size_t last = std::min(kMaxCode, unitCount_ - 1 - first);
    for (; code <= last; ++code) {
      if (check(first + code) == static_cast<std::uint32_t>(b)) return first + code;
    }
    return kNone;
  }

  // Depth-first walk below `node`, whose key is scratch.key, children in code order. With `seen`, a
  // unit reached twice ends the walk with kCorrupt; without, the walk stops after size()
  // steps. An explicit stack keeps deep keys off the call stack.
  template <class OnKey>
  int walk(std::size_t node, Scratch& scratch, std::vector<bool>* seen, OnKey&& onKey) const {
    std::string& key = scratch.key;
    std::vector<Scratch::Step>& stack = scratch.stack;
    const std::size_t depth = key.size();
    stack.assign(1, Scratch::Step{node, 0});
    if (seen != nullptr) (*seen)[node] = true;
    std::size_t steps = 0;
    while (!stack.empty()) {
      Scratch::Step& top = stack.back();
      const std::size_t next = nextChild(top.node, top.code);
      if (next == kNone) {
        stack.pop_back();
        if (key.size() > depth) key.pop_back();
        continue;
      }
      const std::size_t code = top.code++;
      if (++steps > unitCount_) return kCorrupt;
      if (seen != nullptr) {
        if ((*seen)[next]) return kCorrupt;
        (*seen)[next] = true;
      }
      if (code == 0) {
        const long value = terminalValue(next);
        if (value >= 0)
          onKey(static_cast<const std::string&>(key), static_cast<std::int32_t>(value));
        continue;
      }
      key.push_back(static_cast<char>(code - 1));
      stack.push_back(Scratch::Step{next, 0});
    }
    return kOk;
  }

  void swap(IndexView& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(mapped_, other.mapped_);
    std::swap(unitCount_, other.unitCount_);
  }

  const unsigned char* data_ = nullptr;
  std::size_t mapped_ = 0;  // bytes mapped by open(); 0 for attached memory
  std::size_t unitCount_ = 0;
};

}  // namespace Tessel
