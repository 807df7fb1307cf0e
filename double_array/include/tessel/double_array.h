#pragma once

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include <tessel/format.h>
#include <tessel/internal/page_array.h>
#include <tessel/internal/prefault.h>
#include <tessel/key_lines.h>
#include <tessel/length.h>
#include <tessel/replace_file.h>
#include <tessel/status.h>

namespace Tessel {

// Builds a double-array trie from a sorted list of keys and writes it as an index file (the
// format is in tessel/format.h).
//
// KeyUnit is the key's byte type and UKeyUnit its unsigned form; BaseType holds bases and
// values, CheckType checks; LengthFunc measures a key that comes without a length.
// The builder reports failures by status and throws nothing but std::bad_alloc.
template <class KeyUnit, class UKeyUnit, class BaseType, class CheckType, class LengthFunc>
class DoubleArrayImpl {
  static_assert(sizeof(KeyUnit) == 1 && sizeof(UKeyUnit) == 1, "keys are byte strings");
  static_assert(std::is_signed<BaseType>::value && std::is_unsigned<CheckType>::value,
                "bases are signed, checks unsigned");
  // The smallest array reaches past code 256 from base 257: a narrower type would wrap codes
  // or positions and lose keys.
  static_assert(std::numeric_limits<CheckType>::max() >= 2 * 257 &&
                    std::numeric_limits<BaseType>::max() >= 2 * 257,
                "BaseType and CheckType must hold positions of at least 514");

 public:
  struct Unit {
    BaseType base;
    CheckType check;
  };

  // Called after each key is finished with (keys finished, key count); the result is ignored.
  using ProgressFunc = int (*)(std::size_t, std::size_t);

  // Results of build(); describeBuildStatus() words them.
  static constexpr int kOk = kBuildOk;
  static constexpr int kNegativeValue = kBuildNegativeValue;  // a supplied value is negative
  static constexpr int kUnsorted = kBuildUnsorted;  // keys are not in ascending byte order
  static constexpr int kTooLarge = kBuildTooLarge;  // a position or key index does not fit

  static constexpr std::size_t kInitialCapacity = 8192;
  static constexpr std::size_t kTailUnits = Format::kTailUnits;

  DoubleArrayImpl() = default;
  virtual ~DoubleArrayImpl() { clear(); }

  DoubleArrayImpl(const DoubleArrayImpl&) = delete;
  DoubleArrayImpl& operator=(const DoubleArrayImpl&) = delete;
  // A moved-from object is a new one: empty, with the status kOk.
  DoubleArrayImpl(DoubleArrayImpl&& other) noexcept { swap(other); }
  DoubleArrayImpl& operator=(DoubleArrayImpl&& other) noexcept {
    if (this != &other) {
      DoubleArrayImpl taken(std::move(other));
      swap(taken);
    }
    return *this;
  }

  // Builds the trie of keys[0 .. keyCount), replacing whatever this object held.
  // REQUIRES: keys are in ascending order of their bytes read as unsigned values, a key before
  // every longer key that begins with it; equal keys may follow each other.
  // Key i has lengths[i] bytes, or LengthFunc()(keys[i]) when lengths is null. Its value is
  // values[i], or i when values is null; a run of equal keys keeps the value of its first key.
  // progress, when not null, is called once per distinct key, in key order.
  // Returns kOk, or kNegativeValue, kUnsorted or kTooLarge, after which the array is not a
  // valid trie and save() refuses it; after kUnsorted, firstUnsortedKey() tells where. With no
  // keys, returns kOk and size() stays 0.
  int build(std::size_t keyCount, const KeyUnit* const* keys, const std::size_t* lengths = nullptr,
            const BaseType* values = nullptr, ProgressFunc progress = nullptr) {
    clear();
    lines_ = nullptr;
    keys_ = keys;
    if (keys != nullptr && lengths == nullptr &&
        !std::is_same<LengthFunc, Length<KeyUnit>>::value) {
      measuredLengths_.resize(keyCount);
      for (std::size_t i = 0; i < keyCount; ++i) measuredLengths_[i] = LengthFunc()(keys[i]);
      lengths = measuredLengths_.data();
    }
    lengths_ = lengths;
    return run(keys == nullptr ? 0 : keyCount, values, progress);
  }

  // build() for the lines of `lines` as the keys, in the same order and with the same rules:
  // key i is line i up to its first NUL byte, and its value values[i] or i. The lines are read
  // where they are, through 4 bytes a line that `lines` holds; they must stay unchanged until
  // build() returns.
  int build(const KeyLines& lines, const BaseType* values = nullptr,
            ProgressFunc progress = nullptr) {
    clear();
    lines_ = &lines;
    keys_ = nullptr;
    lengths_ = nullptr;
    return run(lines.count(), values, progress);
  }

  // Writes the first size() units to `path`, replacing the file as a whole (see replaceFile,
  // which also tells when beforeCommit(context) is called and what its false does).
  // Returns 0 on success; -1 when there is nothing to write, the last build failed or was cut
  // short by an exception, or the file cannot be written.
  int save(const char* path, bool (*beforeCommit)(void*) = nullptr, void* context = nullptr) const {
    if (unitCount_ == 0 || !complete_) return -1;
    return replaceFile(path, units_.data(), unitCount_ * sizeof(Unit), beforeCommit, context);
  }
  // save() with all the hooks of a replacement (see ReplaceHooks).
  int save(const char* path, const ReplaceHooks& hooks) const {
    if (unitCount_ == 0 || !complete_) return -1;
    return replaceFile(path, units_.data(), unitCount_ * sizeof(Unit), hooks);
  }

  // Builds the units of the next build in the pages of `fd` instead of memory: an open,
  // writable regular file that the caller owns and keeps open until finishFile(), such as a
  // FileReplacement's temporary file; what it held is dropped. The file grows with the array,
  // each growth's space reserved on the disk first, so a full disk is a failed build
  // (std::bad_alloc, with fileError() telling ENOSPC), never a fault. Returns 0, or the error
  // number when the file cannot hold the array (EOPNOTSUPP: its file system cannot reserve
  // space); the units then stay in memory.
  int keepUnitsIn(int fd) {
    clear();
    return units_.useFile(fd);
  }

  // After a successful build in a file: cuts the file to the size() units of the trie and
  // forgets it, so that it holds the index, ready to be synced and renamed (the units stay
  // readable through array() until clear()). Later builds are in memory again. Returns 0, or
  // -1 with errno set.
  int finishFile() {
    const int fd = units_.file();
    if (fd < 0 || !complete_) {
      errno = EINVAL;
      return -1;
    }
    units_.detachFile();
    return ::ftruncate(fd, static_cast<off_t>(unitCount_ * sizeof(Unit)));
  }

  // Why the last growth of the array in its file failed (ENOSPC for a full disk); 0 if none.
  int fileError() const { return units_.fileError(); }

  // Number of units of the trie, the tail included: what save() writes.
  std::size_t size() const { return unitCount_; }

  // Number of units among the first size() that belong to a node other than the root.
  std::size_t occupiedCount() const { return occupiedCount_; }

  // The units, size() of them; null before the first build.
  const Unit* array() const { return units_.data(); }

  // Status of the last build.
  int error() const { return error_; }

  // The number of distinct keys of the last build, when it succeeded; 0 otherwise.
  std::size_t distinctKeyCount() const { return complete_ ? completed_ : 0; }

  // After a build that returned kUnsorted: the index of the first key that is smaller than the
  // key before it, in list order. 0 otherwise.
  std::size_t firstUnsortedKey() const { return firstUnsorted_; }

  // Releases the array, and what a build cut short by an exception held. The status of the
  // last build is kept.
  void clear() {
    prefaulter_.stop();
    units_.release();
    releaseWorkspace();
    unitCount_ = 0;
    capacity_ = 0;
    occupiedCount_ = 0;
  }

  // Grows the unit array and the base flags to at least newCapacity entries; new entries are
  // empty. A smaller request changes nothing. Returns the capacity.
  std::size_t resize(std::size_t newCapacity) {
    if (newCapacity <= capacity_) return capacity_;
    // The units may move: the helper lets go of them first, then takes up the new pages.
    prefaulter_.pause();
    const std::size_t before = capacity_;
    units_.grow(newCapacity);
    capacity_ = units_.capacity();
    prefaulter_.ask(units_.data() + before, (capacity_ - before) * sizeof(Unit));
    // One spare word, as bitsAt reads the word after the one a bit is in.
    usedBases_.grow(capacity_ / kWord + 2);
    occupied_.grow(capacity_ / kWord + 2);
    occupiedInBlock_.grow(capacity_ / kBlock + 1);
    return capacity_;
  }

 private:
  // A sibling group: the keys from `left` up to the next group's left (or to the end of the
  // frame's range) pass through the edge `code`.
  struct Node {
    CheckType code;
    std::size_t left;
  };

  // A placed run of sibling groups, nodes_[first, end), whose children are being built: their
  // keys are [nodes_[first].left, right), and their codes came from key byte `depth`. `next` is
  // the next group to build; `unit` is the unit that gets `base` once all are built. This
  // explicit stack keeps long keys off the call stack.
  struct Frame {
    std::size_t first;
    std::size_t end;
    std::size_t next;
    std::size_t base;
    std::size_t depth;
    std::size_t right;
    std::size_t unit;
  };

  static constexpr std::size_t kMaxCode = Format::kMaxCode;

  // The build of the keys set up by build(): keys_ and lengths_, or lines_.
  int run(std::size_t keyCount, const BaseType* values, ProgressFunc progress) {
    error_ = kOk;
    firstUnsorted_ = 0;
    complete_ = false;
    if (keyCount == 0) return error_;
    keyCount_ = keyCount;
    values_ = values;
    progress_ = progress;
    completed_ = 0;
    resize(kInitialCapacity);
    units_[0].base = 1;
    scanStart_ = 0;
    std::fill(std::begin(firstLive_), std::end(firstLive_), 0);
    countedFrom_ = countedTo_ = counted_ = 0;
    nodeCount_ = 0;
    frameCount_ = 0;
    buildTree();

    unitCount_ += kTailUnits;
    // The final size is known here, so this last growth is exact.
    if (unitCount_ >= capacity_) resize(unitCount_);
    releaseWorkspace();
    complete_ = error_ == kOk;
    // The units of a failed build in a file mean nothing; the file is the caller's to drop.
    if (!complete_) units_.detachFile();
    return error_;
  }

  // Returns the memory and the helper thread that only a build uses.
  void releaseWorkspace() {
    prefaulter_.stop();
    usedBases_.release();
    occupied_.release();
    occupiedInBlock_.release();
    pairLive_.release();
    std::vector<std::size_t>().swap(measuredLengths_);
    nodes_.release();
    frames_.release();
  }

  // The root's base is fixed, so its frame hands its base to no unit.
  static constexpr std::size_t kNoUnit = ~std::size_t{0};

  static constexpr std::size_t kMaxPosition =
      std::min<std::size_t>(static_cast<std::size_t>(std::numeric_limits<BaseType>::max()),
                            static_cast<std::size_t>(std::numeric_limits<CheckType>::max()));

  // Makes positions below `needed` addressable. Growth is geometric so that a chain of
  // single-unit groups costs amortized constant time per unit. The factor follows the share of
  // keys still to come: large early in a build, 5 % near its end, at most double.
  void reserve(std::size_t needed) {
    if (needed <= capacity_) return;
    double factor = 2.0;
    if (completed_ > 0) {
      factor = std::min(
          2.0, std::max(1.05, static_cast<double>(keyCount_) / static_cast<double>(completed_)));
    }
    const auto scaled = static_cast<std::size_t>(static_cast<double>(capacity_) * factor);
    resize(std::max(needed, scaled));
  }

  // Builds the trie depth first, in key order: the order in which keys are finished and
  // reported, and in which disorder is found, is that of a recursion over the groups.
  void buildTree() {
    if (collectSiblings(0, keyCount_, 0) == 0) return;
    pushFrame(0, placeSiblings(0, nodeCount_), 0, keyCount_, kNoUnit);
    while (frameCount_ != 0 && error_ != kTooLarge) {
      Frame& frame = frames_[frameCount_ - 1];
      if (frame.next == frame.end) {
        endFrame(frame.base);
      } else {
        buildGroup(frame);
      }
    }
  }

  // Builds the subtree of the frame's next group, or starts a frame for it.
  void buildGroup(Frame& frame) {
    const Node group = nodes_[frame.next];
    const std::size_t left = group.left;
    const std::size_t right = ++frame.next < frame.end ? nodes_[frame.next].left : frame.right;
    const std::size_t unit = frame.base + group.code;
    const std::size_t depth = frame.depth + 1;
    // Below an end-of-key edge every key has ended: a terminal unit, with nothing to collect.
    if (group.code == 0 || error_ < 0) {
      if (!finishKey(unit, left)) endFrame(0);
      return;
    }
    // Where all the keys share their next bytes, each byte is a group of one unit: place those
    // without frames, then branch at the first byte where the keys differ.
    if (right - left == 1) {
      std::size_t above = unit;
      const std::size_t last = placeRun(unit, left, depth, kNoUnit, above);
      const std::size_t end = last == kNoUnit ? kNoUnit : placeChild(last, 0);
      // A key that cannot be finished leaves its parent without a base.
      if (end != kNoUnit && !finishKey(end, left)) units_[last].base = 0;
      return;
    }
    const std::size_t first = nodeCount_;
    std::size_t branch = depth;
    std::size_t last = unit;
    std::size_t above = unit;
    std::size_t groups = collectSiblings(left, right, depth);
    if (groups == 1 && nodes_[first].code != 0) {
      nodeCount_ = first;
      branch = sharedLength(left, right, depth + 1);
      last = placeRun(unit, left, depth, branch, above);
      if (last == kNoUnit) return;
      groups = collectSiblings(left, right, branch);
    }
    if (groups == 0) {
      // Disorder found below `last`: it ends there, as a terminal unit, and a key that cannot
      // be finished leaves the unit above it without a base.
      nodeCount_ = first;
      if (finishKey(last, left)) return;
      if (last == unit) {
        endFrame(0);
      } else {
        units_[above].base = 0;
      }
      return;
    }
    pushFrame(first, placeSiblings(first, nodeCount_), branch, right, last);
  }

  // Places one unit for each byte [depth, end) of key `key`, up to its end, each the only
  // child of the one before, below `unit`. Returns the last unit, or kNoUnit when a position
  // does not fit; `above` becomes the unit before the last.
  std::size_t placeRun(std::size_t unit, std::size_t key, std::size_t depth, std::size_t end,
                       std::size_t& above) {
    // The key is found once, not at every byte.
    const KeyCodes codes = codesOf(key);
    for (CheckType code; depth < end && unit != kNoUnit && (code = codes.at(depth)) != 0; ++depth) {
      above = unit;
      unit = placeChild(unit, code);
    }
    return unit;
  }
  // Places the group of the one child `code` of the unit `parent`, stores its base there and
  // returns the child's unit; kNoUnit when the position does not fit the fields.
  std::size_t placeChild(std::size_t parent, CheckType code) {
    const std::size_t base = placeOne(code);
    if (error_ == kTooLarge) return kNoUnit;
    units_[parent].base = static_cast<BaseType>(base);
    return base + code;
  }

  // Pops the top frame and stores `base` in the unit that leads to it.
  void endFrame(std::size_t base) {
    const Frame& frame = frames_[--frameCount_];
    nodeCount_ = frame.first;
    if (frame.unit != kNoUnit) units_[frame.unit].base = static_cast<BaseType>(base);
  }

  // The length of the prefix that all keys [left, right) share, at least `depth`: no key ends
  // before it and all have the same bytes up to it. Byte order plays no part, so disorder is
  // still found where a recursion over the groups finds it.
  std::size_t sharedLength(std::size_t left, std::size_t right, std::size_t depth) const {
    if (lines_ != nullptr) return sharedLineLength(left, right, depth);
    const KeyUnit* first = keys_[left];
    std::size_t shared = lengths_ != nullptr ? lengths_[left] : ~std::size_t{0};
    for (std::size_t i = left + 1; i < right && shared > depth; ++i) {
      const KeyUnit* key = keys_[i];
      std::size_t at = depth;
      if (lengths_ != nullptr) {
        const std::size_t limit = std::min(shared, lengths_[i]);
        while (at < limit && first[at] == key[at]) ++at;
      } else {
        while (at < shared && first[at] == key[at] && first[at] != KeyUnit()) ++at;
      }
      shared = at;
    }
    return shared;
  }

  // sharedLength() for lines, which end at a newline or NUL byte.
  std::size_t sharedLineLength(std::size_t left, std::size_t right, std::size_t depth) const {
    const char* first = lines_->line(left);
    std::size_t shared = ~std::size_t{0};
    for (std::size_t i = left + 1; i < right && shared > depth; ++i) {
      const char* key = lines_->line(i);
      std::size_t at = depth;
      while (at < shared && first[at] == key[at] && first[at] != '\n' && first[at] != '\0') ++at;
      shared = at;
    }
    return shared;
  }

  // Appends the child groups of the keys [left, right) at byte `depth` to nodes_ and returns
  // their number: 0 with kUnsorted when the keys are out of order.
  std::size_t collectSiblings(std::size_t left, std::size_t right, std::size_t depth) {
    if (error_ < 0) return 0;
    const std::size_t start = nodeCount_;
    CheckType previous = codeAt(left, depth);
    pushNode(previous, left);
    for (std::size_t i = left + 1; i < right; ++i) {
      const CheckType code = codeAt(i, depth);
      if (code == previous) continue;
      if (code < previous) {
        error_ = kUnsorted;
        firstUnsorted_ = firstUnsortedUpTo(i);
        return 0;
      }
      pushNode(code, i);
      previous = code;
    }
    return nodeCount_ - start;
  }

  // The first key in [1, last] that is smaller than the key before it; `last` is one. The
  // groups are collected depth first, so disorder found at `last` may come after other
  // disorder deeper in an earlier group.
  std::size_t firstUnsortedUpTo(std::size_t last) const {
    for (std::size_t i = 1; i < last; ++i) {
      for (std::size_t depth = 0;; ++depth) {
        const CheckType before = codeAt(i - 1, depth), code = codeAt(i, depth);
        if (code < before) return i;
        if (code > before || code == 0) break;
      }
    }
    return last;
  }

  // The stacks are filled field by field: building a record whole and copying it costs a
  // stalled load on every push.
  void pushNode(CheckType code, std::size_t left) {
    if (nodeCount_ == nodes_.capacity()) nodes_.grow(2 * nodeCount_ + 1024);
    Node& node = nodes_[nodeCount_++];
    node.code = code;
    node.left = left;
  }

  // Starts a frame for the groups nodes_[first, nodeCount_).
  void pushFrame(std::size_t first, std::size_t base, std::size_t depth, std::size_t right,
                 std::size_t unit) {
    if (frameCount_ == frames_.capacity()) frames_.grow(2 * frameCount_ + 256);
    Frame& frame = frames_[frameCount_++];
    frame.first = first;
    frame.end = nodeCount_;
    frame.next = first;
    frame.base = base;
    frame.depth = depth;
    frame.right = right;
    frame.unit = unit;
  }

  // The codes of one key, as codeAt() gives them.
  struct KeyCodes {
    const UKeyUnit* bytes;
    std::size_t length;  // or kUntilEnd: the key ends at a NUL byte, or a line's at a newline
    bool line;

    static constexpr std::size_t kUntilEnd = ~std::size_t{0};
    CheckType at(std::size_t depth) const {
      if (depth == length) return 0;
      const UKeyUnit byte = bytes[depth];
      if (length == kUntilEnd && (byte == 0 || (line && byte == '\n'))) return 0;
      return static_cast<CheckType>(byte + 1);
    }
  };
  KeyCodes codesOf(std::size_t i) const {
    if (lines_ != nullptr) {
      return {reinterpret_cast<const UKeyUnit*>(lines_->line(i)), KeyCodes::kUntilEnd, true};
    }
    return {reinterpret_cast<const UKeyUnit*>(keys_[i]),
            lengths_ != nullptr ? lengths_[i] : KeyCodes::kUntilEnd, false};
  }

  // The code of key i at byte `depth`: 0 where the key ends, its byte + 1 before.
  // REQUIRES: the key is at least `depth` bytes long, as every key below an edge other than an
  // end-of-key edge is.
  CheckType codeAt(std::size_t i, std::size_t depth) const {
    if (lines_ != nullptr) {
      const auto byte = static_cast<unsigned char>(lines_->line(i)[depth]);
      return byte == '\n' || byte == '\0' ? 0 : static_cast<CheckType>(byte + 1);
    }
    // NUL-terminated keys: the terminator marks the end without measuring.
    if (lengths_ != nullptr && lengths_[i] == depth) return 0;
    const auto unit = static_cast<UKeyUnit>(keys_[i][depth]);
    if (lengths_ == nullptr && unit == 0) return 0;
    return static_cast<CheckType>(unit + 1);
  }

  // Writes the terminal unit at `position` for the key with index `keyIndex`. Returns false
  // when the group must end at once: a negative value, or an index the field cannot hold.
  bool finishKey(std::size_t position, std::size_t keyIndex) {
    BaseType value;
    if (values_ != nullptr) {
      value = values_[keyIndex];
    } else if (keyIndex > static_cast<std::size_t>(std::numeric_limits<BaseType>::max())) {
      error_ = kTooLarge;
      return false;
    } else {
      value = static_cast<BaseType>(keyIndex);
    }
    units_[position].base = Format::encodeValue(value);
    if (value < 0) {
      error_ = kNegativeValue;
      return false;
    }
    ++completed_;
    if (progress_ != nullptr) progress_(completed_, keyCount_);
    return true;
  }

  // Chooses the base of the groups nodes_[first, end) and marks their units. The base is the
  // first one, from max(first code + 1, scanStart_) on, at which the group's units are free
  // and that no other group uses. scanStart_ moves to the first free unit met and jumps to the
  // chosen one when the units passed were nearly all occupied.
  //
  // The search tests 64 candidate positions at a time on bitmaps of occupied units and used
  // bases, and starts past the positions that earlier searches proved useless for the same
  // first code; it makes the same choice as testing them one by one.
  std::size_t placeSiblings(std::size_t first, std::size_t end) {
    if (error_ < 0) return 0;
    const std::size_t firstCode = nodes_[first].code;
    const std::size_t lastCode = nodes_[end - 1].code;
    const std::size_t start = std::max(firstCode + 1, scanStart_);
    bool live = false;
    std::size_t pos = 0;
    std::uint64_t firstFreeBits = 0;  // free units of the first window, when it is at start
    // Groups of two, common in small alphabets, also remember where their own candidates begin.
    std::size_t* pairLive = nullptr;
    const std::size_t firstFrom = std::max(start, firstLive_[firstCode]);
    std::size_t from = firstFrom;
    if (end - first == 2) {
      pairLive_.grow((kMaxCode + 1) * (kMaxCode + 1));
      pairLive = &pairLive_[firstCode * (kMaxCode + 1) + lastCode];
      from = std::max(from, *pairLive);
    }
    for (std::size_t window = from;; window += kWord) {
      // Bits up to window - firstCode + lastCode + 127 are read below.
      reserve(window + 2 * kWord + kTailUnits);
      // Free units whose base for the first code is unused: once out, never back in.
      const std::uint64_t free = ~bitsAt(occupied_, window);
      if (window == start) firstFreeBits = free;
      const std::uint64_t candidates = free & ~bitsAt(usedBases_, window - firstCode);
      // Only a scan from firstFrom has seen every position it may skip for the first code.
      if (!live && candidates != 0 && from == firstFrom) {
        firstLive_[firstCode] = window + lowestBit(candidates);
        live = true;
      }
      std::uint64_t fits = candidates;
      for (std::size_t i = first + 1; fits != 0 && i < end; ++i) {
        fits &= ~bitsAt(occupied_, window - firstCode + nodes_[i].code);
      }
      const std::size_t found = fits != 0 ? window + lowestBit(fits) : window + kWord - 1;
      if (found - firstCode + lastCode > kMaxPosition) {
        error_ = kTooLarge;
        return 0;
      }
      if (fits != 0) {
        pos = found;
        break;
      }
    }
    moveScanStart(start, pos, firstFreeBits);
    if (pairLive != nullptr) *pairLive = pos;
    const std::size_t begin = pos - firstCode;
    useBase(begin, begin + lastCode);
    for (std::size_t i = first; i < end; ++i) occupy(begin + nodes_[i].code, begin);
    return begin;
  }

  // placeSiblings for a group of one, the most common kind: most are placed in the first 64
  // positions from the start, where this needs no loop.
  std::size_t placeOne(CheckType code) {
    const std::size_t start = std::max<std::size_t>(code + 1, scanStart_);
    reserve(start + 2 * kWord + kTailUnits);
    const std::uint64_t free = ~bitsAt(occupied_, start);
    const std::uint64_t fits = free & ~bitsAt(usedBases_, start - code);
    if (firstLive_[code] > start || fits == 0 || start + lowestBit(fits) > kMaxPosition) {
      const std::size_t first = nodeCount_;
      pushNode(code, 0);
      const std::size_t base = placeSiblings(first, first + 1);
      nodeCount_ = first;
      return base;
    }
    const std::size_t pos = start + lowestBit(fits);
    firstLive_[code] = pos;
    moveScanStart(start, pos, free);
    const std::size_t begin = pos - code;
    useBase(begin, pos);
    occupy(pos, begin);
    return begin;
  }

  // The first free unit at or after `from`. REQUIRES: there is one within the bitmap.
  std::size_t firstFree(std::size_t from) const {
    for (;; from += kWord) {
      const std::uint64_t free = ~bitsAt(occupied_, from);
      if (free != 0) return from + lowestBit(free);
    }
  }

  // The number of occupied units in [from, to), a block at a time where it can.
  std::size_t countOccupied(std::size_t from, std::size_t to) const {
    std::size_t count = 0;
    while (from < to) {
      if (from % kBlock == 0 && to - from >= kBlock) {
        count += occupiedInBlock_[from / kBlock];
        from += kBlock;
        continue;
      }
      const std::size_t bits = std::min(kWord - from % kWord, to - from);
      count += popCount((occupied_[from / kWord] >> (from % kWord)) & lowBits(bits));
      from += bits;
    }
    return count;
  }

  // The number of occupied units in [from, to). Searches that pass far over occupied units
  // mostly start where the last one did and end near where it ended, so the count of the last
  // range is kept up to date and moved, instead of counted again.
  std::size_t occupiedBetween(std::size_t from, std::size_t to) {
    if (from < countedFrom_ || from >= countedTo_) {
      countedFrom_ = from;
      countedTo_ = from;
      counted_ = 0;
    }
    counted_ -= countOccupied(countedFrom_, from);
    countedFrom_ = from;
    if (to >= countedTo_) {
      counted_ += countOccupied(countedTo_, to);
    } else {
      counted_ -= countOccupied(to, countedTo_);
    }
    countedTo_ = to;
    return counted_;
  }

  // Takes `begin` as the base of a group whose last unit is `lastUnit`.
  void useBase(std::size_t begin, std::size_t lastUnit) {
    setBit(usedBases_, begin);
    unitCount_ = std::max(unitCount_, lastUnit + 1);
  }

  // Gives the free unit at `position` to the group based at `begin`.
  void occupy(std::size_t position, std::size_t begin) {
    units_[position].check = static_cast<CheckType>(begin);
    setBit(occupied_, position);
    ++occupiedInBlock_[position / kBlock];
    if (position >= countedFrom_ && position < countedTo_) ++counted_;
    ++occupiedCount_;
  }

  // Ends a search from `start` that chose `pos`: scanStart_ moves to the first free unit met,
  // then on to `pos` when the units met were nearly all occupied. `firstWindow` holds the free
  // units of the 64 from `start`, or 0 when that window was not read.
  [[gnu::always_inline]] void moveScanStart(std::size_t start, std::size_t pos,
                                            std::uint64_t firstWindow) {
    if (firstWindow == 0 || pos - start >= kWord) return moveScanStartFar(start, pos);
    scanStart_ = start + lowestBit(firstWindow);
    // Mostly the first free unit is taken, and the units before it are all occupied.
    const std::size_t freeMet =
        pos == scanStart_ ? 1 : popCount(firstWindow & lowBits(pos - start + 1));
    jumpIfDense(pos, pos - start + 1 - freeMet);
  }

  // moveScanStart for a search that went past its first window.
  [[gnu::noinline]] void moveScanStartFar(std::size_t start, std::size_t pos) {
    scanStart_ = firstFree(start);
    jumpIfDense(pos, occupiedBetween(start, pos + 1));
  }

  // occupied / span >= 0.95, in integers: the double quotient gives the same answer for every
  // span below 10^14, far above any position a 32-bit field holds.
  void jumpIfDense(std::size_t pos, std::size_t occupied) {
    if (20 * occupied >= 19 * (pos - scanStart_ + 1)) scanStart_ = pos;
  }

  static constexpr std::size_t kWord = 64;
  // Units per entry of occupiedInBlock_.
  static constexpr std::size_t kBlock = 512;

  // Bits x to x + 63 of a bitmap, bit x lowest.
  static std::uint64_t bitsAt(const internal::PageArray<std::uint64_t>& bits, std::size_t x) {
    const std::size_t word = x / kWord, shift = x % kWord;
    const std::uint64_t low = bits[word] >> shift;
    return shift == 0 ? low : low | bits[word + 1] << (kWord - shift);
  }
  static void setBit(internal::PageArray<std::uint64_t>& bits, std::size_t x) {
    bits[x / kWord] |= std::uint64_t{1} << (x % kWord);
  }
  static std::uint64_t lowBits(std::size_t n) {
    return n >= kWord ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
  }
  static std::size_t lowestBit(std::uint64_t x) {
    return static_cast<std::size_t>(__builtin_ctzll(x));
  }
  // Counts set bits without needing a processor's popcount instruction.
  static std::size_t popCount(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
  }

  // Exchanges every member, so that a moved-from object is a new one.
  void swap(DoubleArrayImpl& other) noexcept {
    std::swap(units_, other.units_);
    std::swap(usedBases_, other.usedBases_);
    std::swap(occupied_, other.occupied_);
    std::swap(occupiedInBlock_, other.occupiedInBlock_);
    std::swap(firstLive_, other.firstLive_);
    std::swap(pairLive_, other.pairLive_);
    std::swap(countedFrom_, other.countedFrom_);
    std::swap(countedTo_, other.countedTo_);
    std::swap(counted_, other.counted_);
    std::swap(unitCount_, other.unitCount_);
    std::swap(capacity_, other.capacity_);
    std::swap(occupiedCount_, other.occupiedCount_);
    std::swap(keyCount_, other.keyCount_);
    std::swap(keys_, other.keys_);
    std::swap(lines_, other.lines_);
    std::swap(lengths_, other.lengths_);
    std::swap(values_, other.values_);
    std::swap(completed_, other.completed_);
    std::swap(scanStart_, other.scanStart_);
    std::swap(error_, other.error_);
    std::swap(firstUnsorted_, other.firstUnsorted_);
    std::swap(complete_, other.complete_);
    std::swap(progress_, other.progress_);
    std::swap(measuredLengths_, other.measuredLengths_);
    std::swap(nodes_, other.nodes_);
    std::swap(nodeCount_, other.nodeCount_);
    std::swap(frames_, other.frames_);
    std::swap(frameCount_, other.frameCount_);
  }

  internal::PageArray<Unit> units_;
  // Takes the page faults of the units ahead of the build, on a second processor. Stopped
  // when a build ends, so never swapped.
  internal::Prefaulter prefaulter_;
  // Bitmaps of the build: positions chosen as bases, and units that belong to a group.
  internal::PageArray<std::uint64_t> usedBases_;
  internal::PageArray<std::uint64_t> occupied_;
  internal::PageArray<std::uint16_t> occupiedInBlock_;  // occupied units per block of kBlock
  // Per first code, the first position that may still take a group: every position before it
  // is occupied or has its base in use, and neither ever changes back.
  std::size_t firstLive_[kMaxCode + 1] = {};
  internal::PageArray<std::size_t>
      pairLive_;  // the same for groups of two, by first and second code
  // The occupied units in [countedFrom_, countedTo_), kept by occupiedBetween.
  std::size_t countedFrom_ = 0;
  std::size_t countedTo_ = 0;
  std::size_t counted_ = 0;
  std::size_t unitCount_ = 0;
  std::size_t capacity_ = 0;
  std::size_t occupiedCount_ = 0;
  // The state below lives from the start of a build to its end.
  std::size_t keyCount_ = 0;
  const KeyUnit* const* keys_ = nullptr;
  const KeyLines* lines_ = nullptr;  // the keys, when they are lines of a text
  const std::size_t* lengths_ = nullptr;
  const BaseType* values_ = nullptr;
  std::size_t completed_ = 0;
  std::size_t scanStart_ = 0;
  int error_ = kOk;
  std::size_t firstUnsorted_ = 0;
  bool complete_ = false;  // the last build ran to its end without a failure
  ProgressFunc progress_ = nullptr;
  std::vector<std::size_t> measuredLengths_;
  internal::PageArray<Node> nodes_;
  std::size_t nodeCount_ = 0;
  internal::PageArray<Frame> frames_;
  std::size_t frameCount_ = 0;
};

// The trie the tools build: byte keys, 32-bit bases and checks, 8-byte units.
using DoubleArray = DoubleArrayImpl<char, unsigned char, int, unsigned int, Length<char>>;

}  // namespace Tessel
