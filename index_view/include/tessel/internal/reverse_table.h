#pragma once

// Value -> key: one walk of the trie records each reached unit's parent and each value's first
// key end in byte order; a key is then read back by following parents to the root.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <tessel/internal/unit_scan.h>
#include <tessel/internal/units.h>

namespace Tessel {
namespace internal {

class ReverseTable {
 public:
  // Walks the trie once. Up to 12 bytes a unit: a parent for every unit (4 bytes), and a table
  // from values to key ends (4 bytes per value up to the largest when values are dense, else 8
  // bytes a key). A unit reached twice is not followed: past such a point the units are no
  // tree, and the keys there are left out.
  void build(const Units& units, const EdgeCodes& codes) {
    parent_.assign(units.reachable(), kNoUnit);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ends;  // (value, key end), byte order
    std::uint32_t largest = 0;
    std::vector<std::uint32_t> stack{0};
    parent_[0] = 0;
    ChildMask mask;
    // Children are pushed in reverse code order so that they leave the stack in byte order.
    while (!stack.empty()) {
      const std::uint32_t node = stack.back();
      stack.pop_back();
      const std::int32_t b = units.base(node);
      findChildren(units, codes, b, mask);
      for (int code = mask.takeLast(); code >= 0; code = mask.takeLast()) {
        const std::size_t next = static_cast<std::size_t>(b) + static_cast<std::size_t>(code);
        if (parent_[next] != kNoUnit) continue;
        parent_[next] = node;
        if (code != 0) {
          stack.push_back(static_cast<std::uint32_t>(next));
        } else if (units.terminalValue(next) >= 0) {
          const auto value = static_cast<std::uint32_t>(units.terminalValue(next));
          ends.emplace_back(value, static_cast<std::uint32_t>(next));
          largest = std::max(largest, value);
        }
      }
    }
    if (ends.empty()) return;
    if (largest / 2 <= ends.size()) {
      denseEnds_.assign(std::size_t{largest} + 1, kNoUnit);
      for (const auto& [value, end] : ends) {
        if (denseEnds_[value] == kNoUnit) denseEnds_[value] = end;
      }
    } else {
      std::stable_sort(ends.begin(), ends.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      ends.erase(std::unique(ends.begin(), ends.end(),
                             [](const auto& a, const auto& b) { return a.first == b.first; }),
                 ends.end());
      sparseEnds_ = std::move(ends);
    }
  }

  // Sets `key` to the first key in byte order whose value is `value`; false when none has it.
  bool restore(const Units& units, std::uint32_t value, std::string& key) const {
    key.clear();
    std::uint32_t unit = kNoUnit;
    if (!sparseEnds_.empty()) {
      const auto it = std::lower_bound(sparseEnds_.begin(), sparseEnds_.end(), value,
                                       [](const std::pair<std::uint32_t, std::uint32_t>& e,
                                          std::uint32_t v) { return e.first < v; });
      if (it != sparseEnds_.end() && it->first == value) unit = it->second;
    } else if (value < denseEnds_.size()) {
      unit = denseEnds_[value];
    }
    if (unit == kNoUnit) return false;
    // Parents were set in walk order, so following them always ends at the root.
    for (unit = parent_[unit]; unit != 0; unit = parent_[unit]) {
      const auto parentBase = static_cast<std::uint32_t>(units.base(parent_[unit]));
      key.push_back(static_cast<char>(unit - parentBase - 1));
    }
    std::reverse(key.begin(), key.end());
    return true;
  }

 private:
  static constexpr std::uint32_t kNoUnit = ~std::uint32_t{0};

  std::vector<std::uint32_t> parent_;     // walk parent of each reached unit, else kNoUnit
  std::vector<std::uint32_t> denseEnds_;  // value -> key end, when values are dense
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sparseEnds_;  // (value, key end)
};

}  // namespace internal
}  // namespace Tessel
