#pragma once

#include <cstddef>
#include <cstring>

namespace Tessel {

// Measures a NUL-terminated key: the number of key units before its first NUL unit.
template <class KeyUnit>
struct Length {
  std::size_t operator()(const KeyUnit* key) const {
    std::size_t length = 0;
    while (key[length] != KeyUnit()) ++length;
    return length;
  }
};

template <>
struct Length<char> {
  std::size_t operator()(const char* key) const { return std::strlen(key); }
};

}  // namespace Tessel
