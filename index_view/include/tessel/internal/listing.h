#pragma once

// The walk behind listings: depth first, children in code order (or its reverse), one key at a
// time, with a stack that holds only the nodes whose children are not all taken yet.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <tessel/internal/unit_scan.h>
#include <tessel/internal/units.h>

namespace Tessel {
namespace internal {

// Calls onKey(key, value) and tells whether a listing goes on: onKey's bool, or true when it
// returns nothing.
template <class OnKey, class Value>
bool goOn(OnKey& onKey, const std::string& key, Value value) {
  if constexpr (std::is_convertible_v<decltype(onKey(key, value)), bool>) {
    return static_cast<bool>(onKey(key, value));
  } else {
    onKey(key, value);
    return true;
  }
}

// goOn() for a ranked key and its weight.
template <class OnKey, class Value>
bool goOnRanked(OnKey& onKey, const std::string& key, Value value, std::uint32_t weight) {
  if constexpr (std::is_convertible_v<decltype(onKey(key, value, weight)), bool>) {
    return static_cast<bool>(onKey(key, value, weight));
  } else {
    onKey(key, value, weight);
    return true;
  }
}

// The loop of a predict() call: resets `cursor` to the keys below prefix[0 .. length) of
// `view` and hands onKey up to `limit` of them. Returns the number handed.
template <class View, class Cursor, class OnKey>
std::size_t listBelow(const View& view, const char* prefix, std::size_t length, OnKey& onKey,
                      Cursor& cursor, std::size_t limit) {
  cursor.reset(view, prefix, length);
  std::size_t found = 0;
  while (found < limit && cursor.next()) {
    ++found;
    if (!goOn(onKey, cursor.key(), cursor.value())) break;
  }
  return found;
}

class Listing {
 public:
  enum Step { kKey, kEnd, kLoop };

  // Starts listing the keys below `node` (kNone for none), whose key is prefix[0 .. length).
  // From step `trackFrom` on, each unit reached is marked, and a unit reached twice ends the
  // walk with kLoop: with 0 the walk checks that the units form a tree; a later start keeps
  // short walks free of the marks' cost while a loop still ends within steps of it.
  void reset(const Units& units, const EdgeCodes& codes, std::size_t node, const char* prefix,
             std::size_t length, std::size_t trackFrom, bool descending = false) {
    descending_ = descending;
    units_ = &units;
    codes_ = &codes;
    key_.assign(prefix, length);
    stack_.clear();
    clearMarks();
    steps_ = 0;
    trackFrom_ = trackFrom;
    value_ = -1;
    if (node != Units::kNone) {
      if (trackFrom == 0) mark(node);
      push(node);
    }
  }

  // Moves to the next key. Every unit is reached at most once when tracked, and the walk
  // takes at most as many steps as there are units, so it ends on any file; after kLoop it
  // has ended.
  Step advance() {
    const std::size_t count = units_ == nullptr ? 0 : units_->count();
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      // Descending, a node's own key (code 0) comes after all the keys below it.
      const auto code = static_cast<std::size_t>(descending_ ? top.children.takeLast()
                                                             : top.children.takeFirst());
      const std::size_t next = std::size_t{top.base} + code;
      key_.resize(top.keyLength);
      if (top.children.empty()) stack_.pop_back();
      if (++steps_ > count || (steps_ >= trackFrom_ && !mark(next))) {
        stack_.clear();
        return kLoop;
      }
      if (code == Format::kEndCode) {
        const long value = units_->terminalValue(next);
        if (value < 0) continue;
        value_ = static_cast<std::int32_t>(value);
        return kKey;
      }
      key_.push_back(static_cast<char>(code - 1));
      push(next);
    }
    return kEnd;
  }

  const std::string& key() const { return key_; }
  std::int32_t value() const { return value_; }

 private:
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
    const std::int32_t b = units_->base(node);
    frame.base = static_cast<std::uint32_t>(b);
    frame.keyLength = key_.size();
    findChildren(*units_, *codes_, b, frame.children);
    if (frame.children.empty()) stack_.pop_back();
  }

  // Marks `unit`; false when it was marked already. The marks take a bit a unit, allocated
  // on the first use; only the words touched are cleared for the next walk.
  bool mark(std::size_t unit) {
    if (marks_.empty()) marks_.assign(units_->reachable() / 64 + 1, 0);
    std::uint64_t& word = marks_[unit / 64];
    const std::uint64_t bit = std::uint64_t{1} << (unit % 64);
    if ((word & bit) != 0) return false;
    if (word == 0 && !clearAll_) {
      // A walk that touches much of the array clears it all instead.
      if (touched_.size() < marks_.size() / 16) {
        touched_.push_back(unit / 64);
      } else {
        clearAll_ = true;
      }
    }
    word |= bit;
    return true;
  }
  void clearMarks() {
    // Marks sized for another index are dropped whole.
    if (units_ != nullptr && marks_.size() != units_->reachable() / 64 + 1) {
      std::vector<std::uint64_t>().swap(marks_);
    } else if (clearAll_) {
      std::fill(marks_.begin(), marks_.end(), 0);
    } else {
      for (const std::size_t word : touched_) marks_[word] = 0;
    }
    touched_.clear();
    clearAll_ = false;
  }

  const Units* units_ = nullptr;
  const EdgeCodes* codes_ = nullptr;
  std::string key_;
  std::vector<Frame> stack_;
  std::vector<std::uint64_t> marks_;
  std::vector<std::size_t> touched_;  // words of marks_ that are not zero, unless clearAll_
  bool clearAll_ = false;
  std::size_t steps_ = 0;
  std::size_t trackFrom_ = 0;
  std::int32_t value_ = -1;
  bool descending_ = false;  // keys in descending byte order
};

}  // namespace internal
}  // namespace Tessel
