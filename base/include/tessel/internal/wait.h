#pragma once

// A bounded wait for other threads, for a process's end: a thread that never gets on must
// not hold the end up for more than a moment.

#include <time.h>

#include <atomic>

namespace Tessel {
namespace internal {

// Returns once `count` is 0, or after about `milliseconds` ms, looking every millisecond.
inline void waitForNone(const std::atomic<int>& count, int milliseconds) noexcept {
  for (int waited = 0; count.load() != 0 && waited < milliseconds; ++waited) {
    const timespec millisecond{0, 1000000};
    ::nanosleep(&millisecond, nullptr);
  }
}

}  // namespace internal
}  // namespace Tessel
