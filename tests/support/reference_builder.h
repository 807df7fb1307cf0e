#pragma once

// A plain, recursive construction of the double array, written for clarity and kept only to
// check the real builder against: same units, same status, same progress calls.

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace TesselTest {

struct RefUnit {
  int base = 0;
  unsigned check = 0;
};

class ReferenceBuilder {
 public:
  // Keys may hold any bytes; values may be null (a key's value is then its index).
  int build(const std::vector<std::string>& keys, const std::vector<int>* values) {
    keys_ = &keys;
    values_ = values;
    units_.assign(8192, RefUnit{});
    used_.assign(8192, false);
    units_[0].base = 1;
    if (keys.empty()) {
      units_.clear();
      return 0;
    }
    std::vector<Node> siblings;
    collect(Node{0, 0, 0, keys.size()}, siblings);
    place(siblings);
    unitCount_ += 257;
    units_.resize(std::max(units_.size(), unitCount_));
    units_.resize(unitCount_);
    return error_;
  }

  const std::vector<RefUnit>& units() const { return units_; }
  const std::vector<std::pair<std::size_t, std::size_t>>& progress() const { return progress_; }

 private:
  struct Node {
    unsigned code;
    std::size_t depth, left, right;
  };

  RefUnit& at(std::size_t pos) {
    if (pos >= units_.size()) {
      units_.resize(pos + 1);
      used_.resize(pos + 1);
    }
    return units_[pos];
  }

  std::size_t collect(const Node& parent, std::vector<Node>& siblings) {
    if (error_ < 0) return 0;
    unsigned prev = 0;
    for (std::size_t i = parent.left; i < parent.right; ++i) {
      const std::string& key = (*keys_)[i];
      if (key.size() < parent.depth) continue;
      const unsigned cur =
          key.size() == parent.depth ? 0 : static_cast<unsigned char>(key[parent.depth]) + 1u;
      if (prev > cur) {
        error_ = -3;
        return 0;
      }
      if (cur != prev || siblings.empty()) {
        if (!siblings.empty()) siblings.back().right = i;
        siblings.push_back(Node{cur, parent.depth + 1, i, 0});
      }
      prev = cur;
    }
    if (!siblings.empty()) siblings.back().right = parent.right;
    return siblings.size();
  }

  std::size_t place(const std::vector<Node>& siblings) {
    if (error_ < 0) return 0;
    const std::size_t first = siblings.front().code, last = siblings.back().code;
    std::size_t pos = std::max(first + 1, scanStart_) - 1, occupied = 0, begin = 0;
    bool seenFree = false;
    for (;;) {
      ++pos;
      if (at(pos).check != 0) {
        ++occupied;
        continue;
      }
      if (!seenFree) {
        scanStart_ = pos;
        seenFree = true;
      }
      begin = pos - first;
      at(begin + last);
      bool fits = !used_[begin];
      for (std::size_t k = 1; fits && k < siblings.size(); ++k) {
        fits = units_[begin + siblings[k].code].check == 0;
      }
      if (fits) break;
    }
    if (static_cast<double>(occupied) / static_cast<double>(pos - scanStart_ + 1) >= 0.95) {
      scanStart_ = pos;
    }
    used_[begin] = true;
    unitCount_ = std::max(unitCount_, begin + last + 1);
    for (const Node& g : siblings) units_[begin + g.code].check = static_cast<unsigned>(begin);
    for (const Node& g : siblings) {
      std::vector<Node> children;
      if (collect(g, children) == 0) {
        const int value = values_ ? (*values_)[g.left] : static_cast<int>(g.left);
        units_[begin + g.code].base = ~value;  // -value - 1, without overflow at INT_MIN
        if (value < 0) {
          error_ = -2;
          return 0;
        }
        progress_.emplace_back(++completed_, keys_->size());
      } else {
        units_[begin + g.code].base = static_cast<int>(place(children));
      }
    }
    return begin;
  }

  const std::vector<std::string>* keys_ = nullptr;
  const std::vector<int>* values_ = nullptr;
  std::vector<RefUnit> units_;
  std::vector<bool> used_;
  std::vector<std::pair<std::size_t, std::size_t>> progress_;
  std::size_t unitCount_ = 0, scanStart_ = 0, completed_ = 0;
  int error_ = 0;
};

}  // namespace TesselTest
