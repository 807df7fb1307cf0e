#pragma once

// The units of an index as the reader sees them: fields read from bytes of any alignment, and
// the steps of a walk, each checked against the bounds of the array.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <tessel/format.h>

namespace Tessel {
namespace internal {

class Units {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};

  Units() = default;
  Units(const unsigned char* data, std::size_t count) : data_(data), count_(count) {}

  const unsigned char* data() const { return data_; }
  std::size_t count() const { return count_; }

  std::int32_t base(std::size_t unit) const { return Format::baseAt(data_, unit); }
  std::uint32_t check(std::size_t unit) const { return Format::checkAt(data_, unit); }

  bool validRoot() const { return count_ != 0 && base(0) == Format::kRootBase && check(0) == 0; }

  // The unit reached from `node` by `code`, or kNone.
  std::size_t child(std::size_t node, std::size_t code) const {
    if (node >= count_) return kNone;
    const std::int32_t b = base(node);
    if (b <= 0) return kNone;
    const std::size_t next = static_cast<std::size_t>(b) + code;
    if (next >= count_ || check(next) != static_cast<std::uint32_t>(b)) return kNone;
    return next;
  }

  // The value of the key that ends at `node`, or -1.
  long valueAt(std::size_t node) const {
    const std::size_t end = child(node, Format::kEndCode);
    return end == kNone ? -1 : terminalValue(end);
  }

  // Asks for unit `unit` to be brought into the cache, whatever its value: a prefetch never
  // faults, so a unit past the end needs no test (its address is computed as an integer).
  void prefetch(std::size_t unit) const {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // As asm: GCC drops __builtin_prefetch from the walks' loops.
    const std::uintptr_t address =
        reinterpret_cast<std::uintptr_t>(data_) + unit * Format::kUnitBytes;
    __asm__ volatile("prefetcht0 (%0)" : : "r"(address));
#elif defined(__GNUC__) || defined(__clang__)
    if (unit < count_) __builtin_prefetch(data_ + unit * Format::kUnitBytes);
#else
    (void)unit;
#endif
  }

  // The value a key's end unit holds, or -1 when its base is no value.
  long terminalValue(std::size_t unit) const {
    return Format::decodeValue(base(unit));
  }

  // The units a walk can reach: none lies past the largest base plus the largest code.
  std::size_t reachable() const {
    constexpr std::size_t kMost =
        std::size_t{std::numeric_limits<std::int32_t>::max()} + Format::kMaxCode + 1;
    return std::min(count_, kMost);
  }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace internal
}  // namespace Tessel
