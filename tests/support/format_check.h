#pragma once

// The index format's rules for a built array, independent of how it was built; shared by the
// unit tests and the fuzz targets, so it reports instead of asserting.

#include <cstddef>
#include <set>
#include <string>

#include <tessel/double_array.h>

namespace TesselTest {

// The first rule of the format that `trie` breaks, or "" when it breaks none: the root is
// (1, 0); free units, the last 257 among them, are (0, 0); no two groups share a base; every
// used unit belongs to a node's group; occupiedCount() counts the used units past the root.
inline std::string formatFault(const Tessel::DoubleArray& trie) {
  const auto* units = trie.array();
  const std::size_t size = trie.size();
  if (size < 1 + Tessel::DoubleArray::kTailUnits) return "only " + std::to_string(size) + " units";
  if (units[0].base != 1 || units[0].check != 0) return "unit 0 is not the root";
  for (std::size_t i = size - Tessel::DoubleArray::kTailUnits; i < size; ++i) {
    if (units[i].check != 0) return "tail unit " + std::to_string(i) + " is used";
  }
  std::set<unsigned> bases = {1};
  std::size_t used = 0;
  for (std::size_t i = 1; i < size; ++i) {
    if (units[i].check == 0) {
      if (units[i].base != 0) return "free unit " + std::to_string(i) + " has a base";
      continue;
    }
    ++used;
    if (units[i].base > 0 && !bases.insert(static_cast<unsigned>(units[i].base)).second) {
      return "two groups share base " + std::to_string(units[i].base);
    }
  }
  for (std::size_t i = 1; i < size; ++i) {
    if (units[i].check != 0 && bases.count(units[i].check) == 0) {
      return "orphan unit " + std::to_string(i);
    }
  }
  if (used != trie.occupiedCount()) {
    return std::to_string(used) + " used units, occupiedCount() " +
           std::to_string(trie.occupiedCount());
  }
  return "";
}

}  // namespace TesselTest
