#pragma once

// What the fuzz targets share: reporting a finding, and inputs turned into files.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// A finding of a fuzz target: says what broke and stops the process, so that libFuzzer keeps
// the input that caused it.
#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      (void)std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)

// One in-memory file per target, reused from input to input: holds `bytes` and reads from its
// start when this returns its descriptor.
inline int memoryFile(const void* bytes, std::size_t size) {
  static const int fd = ::memfd_create("fuzz-input", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::ftruncate(fd, 0) == 0);
  FUZZ_CHECK(::pwrite(fd, bytes, size, 0) == static_cast<ssize_t>(size));
  FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}
