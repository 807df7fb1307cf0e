#pragma once

// A key list as the lines of a text, for the builder: key i is line i up to its first NUL
// byte, the last line counts without a newline, nothing after the final newline adds a key.
// The text is mapped from a file (all of it, or a byte range), so the keys cost the page
// cache, which the kernel can drop, rather than memory of the process; where a line begins
// takes 4 bytes a line.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include <tessel/internal/page_array.h>

namespace Tessel {

class KeyLines {
 public:
  KeyLines() = default;
  ~KeyLines() { unmap(); }
  KeyLines(const KeyLines&) = delete;
  KeyLines& operator=(const KeyLines&) = delete;

  // Maps bytes [start, end) of the open regular file `fd` (end 0: to the end of the file)
  // read-only, followed by a zero byte, and finds its lines. Returns 0, or -1 with errno set:
  // the file cannot be mapped (ENODEV for a pipe or another file that is not regular), or a
  // block of 65,536 lines spans 4 GiB or more (EOVERFLOW), which only lines of tens of
  // kilobytes can do. Throws std::bad_alloc when the index of lines cannot be had.
  // The file must not shrink while it is mapped: reading a page past its new end stops the
  // process (SIGBUS), which a program that maps its input catches.
  int map(int fd, std::uint64_t start = 0, std::uint64_t end = 0) {
    return mapText(fd, start, end) == 0 ? index(text_, size_) : -1;
  }

  // map() without finding the lines: text() and size() give the bytes, count() is 0.
  int mapText(int fd, std::uint64_t start = 0, std::uint64_t end = 0) {
    unmap();
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
      errno = ENODEV;
      return -1;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (end == 0 || end > size) end = size;
    if (start > end) start = end;
    const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t from = start / page * page;
    const std::size_t length = static_cast<std::size_t>(end - from);
    // One page more than the bytes, anonymous and zero, under the file's pages: the byte after
    // the last line is readable whatever the size.
    const std::size_t reserved = (length / page + 1) * page;
    // An anonymous mapping takes -1 for its descriptor, which cppcheck's POSIX rules forbid.
    // cppcheck-suppress invalidFunctionArg
    void* area = ::mmap(nullptr, reserved, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return -1;
    if (length != 0 && ::mmap(area, length, PROT_READ, MAP_SHARED | MAP_FIXED, fd,
                              static_cast<off_t>(from)) == MAP_FAILED) {
      const int error = errno;
      ::munmap(area, reserved);
      errno = error;
      return -1;
    }
    mapped_ = static_cast<char*>(area);
    mappedBytes_ = reserved;
    // Read in large folios where the file system has them: fewer faults.
    if (length != 0) (void)::madvise(area, length, MADV_HUGEPAGE);
    text_ = mapped_ + (start - from);
    size_ = static_cast<std::size_t>(end - start);
    return 0;
  }

  // Finds the lines of text[0 .. size), which the caller keeps alive and unchanged.
  // REQUIRES: text[size] can be read, and is a newline or NUL byte when size > 0 and the last
  // line has no newline. Returns 0, or -1 with EOVERFLOW as map() says.
  int index(const char* text, std::size_t size) {
    text_ = text;
    size_ = size;
    count_ = 0;
    std::size_t at = 0;
    while (at < size) {
      if ((count_ & (kBlock - 1)) == 0) {
        if (count_ / kBlock == blocks_.capacity()) blocks_.grow(2 * (count_ / kBlock) + 16);
        blocks_[count_ / kBlock] = at;
      }
      const std::uint64_t relative = at - blocks_[count_ / kBlock];
      if (relative > UINT32_MAX) {
        errno = EOVERFLOW;
        return -1;
      }
      if (count_ == starts_.capacity()) starts_.grow(2 * count_ + 4096);
      starts_[count_++] = static_cast<std::uint32_t>(relative);
      const void* newline = std::memchr(text + at, '\n', size - at);
      if (newline == nullptr) break;
      at = static_cast<std::size_t>(static_cast<const char*>(newline) - text) + 1;
    }
    return 0;
  }

  // The number of lines, that is, of keys.
  std::size_t count() const { return count_; }

  // Line i, which ends at its first newline or NUL byte. REQUIRES: i < count().
  const char* line(std::size_t i) const { return text_ + blocks_[i / kBlock] + starts_[i]; }

  // The length of key i: its line up to the first newline or NUL byte.
  std::size_t keyLength(std::size_t i) const {
    const char* key = line(i);
    std::size_t length = 0;
    while (key[length] != '\n' && key[length] != '\0') ++length;
    return length;
  }

  // The bytes of the text; where it ends.
  const char* text() const { return text_; }
  std::size_t size() const { return size_; }

  // Lets go of the mapping and the index of lines.
  void unmap() {
    if (mapped_ != nullptr) ::munmap(mapped_, mappedBytes_);
    mapped_ = nullptr;
    mappedBytes_ = 0;
    starts_.release();
    blocks_.release();
    text_ = nullptr;
    size_ = 0;
    count_ = 0;
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;

  char* mapped_ = nullptr;
  std::size_t mappedBytes_ = 0;
  const char* text_ = nullptr;
  std::size_t size_ = 0;
  std::size_t count_ = 0;
  internal::PageArray<std::uint32_t> starts_;  // line i begins at blocks_[i / kBlock] + starts_[i]
  internal::PageArray<std::uint64_t> blocks_;
};

}  // namespace Tessel
