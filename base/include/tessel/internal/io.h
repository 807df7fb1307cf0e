#pragma once

// The read and write loops of the library and the programs. An interrupted call is retried; a
// write that makes no progress is an error, never a reason to try again forever.

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace Tessel {
namespace internal {

// Some kernels refuse single transfers above 2 GiB; stay well below.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Writes the `size` bytes at `data` to `fd`. Returns false with errno set when a write fails
// or writes nothing (EIO). `written`, when given, receives the number of bytes written.
inline bool writeAll(int fd, const void* data, std::size_t size, std::size_t* written = nullptr) {
  const char* next = static_cast<const char*>(data);
  std::size_t done = 0;
  bool ok = true;
  while (done < size) {
    const std::size_t chunk = size - done < kMaxTransfer ? size - done : kMaxTransfer;
    const ssize_t result = ::write(fd, next + done, chunk);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) {
      if (result == 0) errno = EIO;
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(result);
  }
  if (written != nullptr) *written = done;
  return ok;
}

// Reads up to `size` bytes from `fd` into `buffer`: the number read, 0 at the end of the
// input, or -1 with errno set.
inline ssize_t readSome(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size < kMaxTransfer ? size : kMaxTransfer);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace internal
}  // namespace Tessel
