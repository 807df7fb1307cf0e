#pragma once

// Running out of memory: the one failure the library reports by an exception, std::bad_alloc.
// A program built without exceptions ends there instead, as its operator new ends it then.

#include <cstdlib>
#include <new>

namespace Tessel {
namespace internal {

[[noreturn]] inline void outOfMemory() {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
  throw std::bad_alloc();
#else
  std::abort();
#endif
}

}  // namespace internal
}  // namespace Tessel
