#pragma once

// Walks of many queries at once: up to 64 walks in flight, taken in turn, each with its next
// unit prefetched, so that their cache misses overlap.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <tessel/internal/units.h>

namespace Tessel {
namespace internal {

// The engine of IndexView::findMany() and commonPrefixesMany().
class Batch {
 public:
  struct Match {
    std::size_t query;
    std::size_t length;
    long value;
  };

  Batch(const Units& units, std::size_t count, const char* const* keys, const std::size_t* lengths)
      : units_(units), count_(count), keys_(keys), lengths_(lengths) {}

  // Finishes one more exact walk: its query and its value (-1 for a non-key). False when
  // all are done.
  bool nextExact(std::size_t& query, long& value) {
    if (units_.count() == 0) {
      if (started_ == count_) return false;
      query = started_++;
      value = -1;
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
    if (started_ == count_ || units_.count() == 0) return false;
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

  void prefetch(std::size_t unit) const { units_.prefetch(unit); }

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
    w.value = -1;
    w.parent = static_cast<std::uint32_t>(units_.base(0));
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
    if (w.unit >= units_.count() || units_.check(w.unit) != w.parent) return false;
    if (w.pos > w.length) {
      w.value = units_.terminalValue(w.unit);
      return false;
    }
    const std::int32_t b = units_.base(w.unit);
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
    if (end < units_.count()) {
      // No branch on the answer: a mispredicted one would wait for the unit to arrive.
      const std::int32_t b = units_.base(end);
      const auto value =
          static_cast<std::int32_t>(units_.check(end) == w.parent ? Format::decodeValue(b) : -1);
      if (w.pos < w.slotCount) {
        slots_[w.slot + w.pos] = value;
        w.found |= std::uint64_t{value >= 0} << w.pos;
      } else if (value >= 0) {
        overflow_.push_back(Match{w.query, w.pos, value});
      }
    }
    if (w.pos == w.length) return false;
    const std::size_t next = std::size_t{w.parent} + w.key[w.pos] + 1u;
    if (next >= units_.count() || units_.check(next) != w.parent) return false;
    const std::int32_t b = units_.base(next);
    if (b <= 0) return false;
    ++w.pos;
    w.parent = static_cast<std::uint32_t>(b);
    prefetchPrefix(w);
    return true;
  }

  const Units& units_;
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

}  // namespace internal
}  // namespace Tessel
