#pragma once

// How the programs report a failure: one line on standard error, and only for the first
// failure of a run, whatever fails after it.

#include <cstdio>

namespace Tessel {
namespace Tool {

// Writes `what` then `name` and a newline on standard error, unless a failure was reported
// already, and returns `status`. A line that cannot be written has nowhere else to go; the
// status still tells.
inline int fail(const char* what, const char* name, int status) {
  static bool reported = false;
  if (!reported) {
    reported = true;
    (void)std::fprintf(stderr, "%s%s\n", what, name);
    (void)std::fflush(stderr);
  }
  return status;
}

}  // namespace Tool
}  // namespace Tessel
