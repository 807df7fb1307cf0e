#pragma once

// The key list's line rule, written once: every reader of key lines and queries (tessel-build's
// lists, the mapped lists of shards, tessel-lookup's queries, the sharded build's ranges and
// its planner in Python, through the extension) takes a line and its key by these functions,
// and the key-list fuzzer holds each of them to a plain split.
//
// A line ends at its '\n'; a last line without one counts, and nothing after the last '\n'
// is a line. A line's key is its text up to its first NUL byte.

#include <cstddef>
#include <cstring>

namespace Tessel {
namespace LineRule {

// Where the line that begins at `line` ends: its '\n', or `end` when it has none.
inline const char* lineEnd(const char* line, const char* end) {
  const void* newline = std::memchr(line, '\n', static_cast<std::size_t>(end - line));
  return newline == nullptr ? end : static_cast<const char*>(newline);
}

// The length of the key of the line line[0 .. size) (without its '\n'): up to its first NUL.
inline std::size_t keyLength(const char* line, std::size_t size) {
  const void* nul = std::memchr(line, '\0', size);
  return nul == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(nul) - line);
}

}  // namespace LineRule
}  // namespace Tessel
