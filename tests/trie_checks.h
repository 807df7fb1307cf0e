#pragma once

// Checks of a built array against the index format, independent of how it was built.

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>

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
  const auto* units = trie.array();
  ASSERT_GE(trie.size(), 258u);
  EXPECT_EQ(units[0].base, 1);
  EXPECT_EQ(units[0].check, 0u);
  for (std::size_t i = trie.size() - 257; i < trie.size(); ++i) {
    ASSERT_EQ(units[i].base, 0) << "tail unit " << i;
    ASSERT_EQ(units[i].check, 0u) << "tail unit " << i;
  }
  std::set<unsigned> bases = {1};
  for (std::size_t i = 1; i < trie.size(); ++i) {
    if (units[i].check == 0) {
      ASSERT_EQ(units[i].base, 0) << "free unit " << i;
    } else if (units[i].base > 0) {
      ASSERT_TRUE(bases.insert(static_cast<unsigned>(units[i].base)).second)
          << "two groups share base " << units[i].base;
    }
  }
  for (std::size_t i = 1; i < trie.size(); ++i) {
    if (units[i].check != 0) {
      ASSERT_EQ(bases.count(units[i].check), 1u) << "orphan unit " << i;
    }
  }
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0 && keys[i] == keys[i - 1]) continue;
    ++distinct;
    ASSERT_EQ(lookup(trie, keys[i]), std::optional<int>(static_cast<int>(i))) << "key " << i;
  }
  EXPECT_EQ(terminalCount(trie), distinct);
}

}  // namespace TesselTest
