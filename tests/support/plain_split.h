#pragma once

// The keys of a key list by its rules, found the plainest way, to check the readers against:
// one key a line, a last line without a newline counted, each key cut at its first NUL byte.

#include <string>
#include <vector>

namespace TesselTest {

inline std::vector<std::string> plainSplit(const std::string& text) {
  std::vector<std::string> keys;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    keys.push_back(line.substr(0, line.find('\0')));
    start = end + 1;
  }
  return keys;
}

}  // namespace TesselTest
