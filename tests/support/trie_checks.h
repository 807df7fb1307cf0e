#pragma once

// Checks of a built array against the index format, independent of how it was built.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>

#include "format_check.h"

namespace TesselTest {

// Follows the format's lookup rule: code byte + 1 per byte, then code 0 to a terminal unit.
inline std::optional<int> lookup(const Tessel::DoubleArray& trie, const std::string& key) {
  const auto* units = trie.array();
  std::size_t node = 0;
  for (std::size_t i = 0; i <= key.size(); ++i) {
    const std::size_t code = i == key.size() ? 0 : static_cast<unsigned char>(key[i]) + 1u;
    const int base = units[node].base;
    if (base <= 0) return std::nullopt;
    const std::size_t next = static_cast<std::size_t>(base) + code;
    if (next >= trie.size() || units[next].check != static_cast<unsigned>(base)) {
      return std::nullopt;
    }
    node = next;
  }
  if (units[node].base >= 0) return std::nullopt;
  return -units[node].base - 1;
}

inline std::size_t terminalCount(const Tessel::DoubleArray& trie) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < trie.size(); ++i) {
    count += trie.array()[i].check != 0 && trie.array()[i].base < 0;
  }
  return count;
}

// Keys are sorted; a key's value is the index of its first occurrence.
inline void expectWellFormed(const Tessel::DoubleArray& trie,
                             const std::vector<std::string>& keys) {
  ASSERT_EQ(formatFault(trie), "");
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0 && keys[i] == keys[i - 1]) continue;
    ++distinct;
    ASSERT_EQ(lookup(trie, keys[i]), std::optional<int>(static_cast<int>(i))) << "key " << i;
  }
  EXPECT_EQ(terminalCount(trie), distinct);
}

}  // namespace TesselTest
