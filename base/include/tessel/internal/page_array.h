#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include <tessel/internal/no_memory.h>

namespace Tessel {
namespace internal {

// A growable array of trivially copyable elements in memory mapped straight from the kernel.
// New elements are zero without being written and growth moves pages instead of copying them:
// page faults, not copying, are what large arrays cost. Huge pages are asked for only while an
// array is small (kHugeUpTo): there they take most of the faults away (the word list's build),
// while for large arrays, where the kernel compacts memory to find them
// (transparent_hugepage/defrag "madvise", as on Debian), they cost more time faulting than
// they saved (on the 5M-key set, median system time 0.91 s with advice against 0.39 s
// without).
// Growth throws std::bad_alloc when the memory cannot be had.
//
// An array may live in the pages of a file instead (useFile): the file then carries it rather
// than the process's memory, and the bytes are where they will be written.
template <class T>
class PageArray {
  static_assert(std::is_trivially_copyable<T>::value, "elements are moved as bytes");

 public:
  PageArray() = default;
  ~PageArray() { release(); }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;
  PageArray(PageArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        bytes_(std::exchange(other.bytes_, 0)),
        fd_(std::exchange(other.fd_, -1)),
        fileError_(std::exchange(other.fileError_, 0)) {}
  PageArray& operator=(PageArray&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
      fd_ = std::exchange(other.fd_, -1);
      fileError_ = std::exchange(other.fileError_, 0);
    }
    return *this;
  }

  // Keeps the elements in the pages of `fd` from now on: an open, regular file, writable and
  // empty, that the caller owns and keeps open while the array lives. The file grows with the
  // array; the space of each growth is reserved on the disk before the pages are used, so
  // that a full disk is a failed growth (std::bad_alloc, with fileError() ENOSPC), never a
  // fault in the middle of the work. Returns 0, or the error number when the file system
  // cannot reserve space (EOPNOTSUPP) or the file cannot be used; the array then stays in
  // memory. REQUIRES: the array holds nothing.
  int useFile(int fd) {
    if (data_ != nullptr) return EINVAL;
    const int error = reserve(fd, kPage);
    if (error != 0) return error;
    if (::ftruncate(fd, 0) != 0) return errno;
    fd_ = fd;
    fileError_ = 0;
    return 0;
  }

  // The file the elements live in, or -1.
  int file() const { return fd_; }

  // The error number of the last growth that failed in the file; 0 if none did.
  int fileError() const { return fileError_; }

  T* data() { return data_; }
  const T* data() const { return data_; }
  // REQUIRES: i < capacity().
  T& operator[](std::size_t i) {
    // The analyzer cannot follow grow() through mmap and takes data_ for null here.
    return data_[i];  // NOLINT(clang-analyzer-core.uninitialized.UndefReturn)
  }
  const T& operator[](std::size_t i) const { return data_[i]; }

  // Number of elements that fit in the memory held; at least what grow() asked for.
  std::size_t capacity() const { return bytes_ / sizeof(T); }

  // Makes room for `count` elements, keeping the present ones; the new ones are zero.
  void grow(std::size_t count) {
    // No machine has half the address space to give; the check keeps the sizes from wrapping.
    if (count > (~std::size_t{0} >> 1) / sizeof(T)) outOfMemory();
    const std::size_t wanted = roundUp(count * sizeof(T));
    if (wanted <= bytes_) return;
    void* memory;
    if (fd_ >= 0) {
      // A new array starts from an empty file, whatever an earlier one left there.
      fileError_ = data_ == nullptr && ::ftruncate(fd_, 0) != 0 ? errno : reserve(fd_, wanted);
      if (fileError_ != 0) outOfMemory();
    }
    if (data_ == nullptr && fd_ >= 0) {
      memory = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    } else if (data_ == nullptr) {
      // An anonymous mapping takes -1 for its descriptor, which cppcheck's POSIX rules forbid.
      // cppcheck-suppress invalidFunctionArg
      memory = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    } else {
      memory = ::mremap(data_, bytes_, wanted, MREMAP_MAYMOVE);
    }
    if (memory == MAP_FAILED) outOfMemory();
    // Advice only; an array that grows out of the small ones loses it.
    // In a file: where the file system has large folios, its page cache can take huge pages
    // too (a third of the faults on the 5M-key set).
    if (fd_ >= 0 || wanted <= kHugeUpTo) {
      (void)::madvise(memory, wanted, MADV_HUGEPAGE);
    } else if (bytes_ != 0 && bytes_ <= kHugeUpTo) {
      (void)::madvise(memory, wanted, MADV_NOHUGEPAGE);
    }
    data_ = static_cast<T*>(memory);
    bytes_ = wanted;
  }

  // Returns the memory to the system; an array in a file leaves the file as it is.
  void release() {
    if (data_ != nullptr) ::munmap(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
  }

  // Forgets the file: the elements stay readable where they are, in its pages, and a later
  // array starts in memory. The file is never touched again.
  void detachFile() { fd_ = -1; }

 private:
  static constexpr std::size_t kPage = 4096;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kHugeUpTo = std::size_t{64} << 20;

  // Large arrays take whole huge pages, so that a kernel that hands them out unasked can.
  static std::size_t roundUp(std::size_t bytes) {
    const std::size_t unit = bytes >= kHugePage ? kHugePage : kPage;
    return (bytes + unit - 1) / unit * unit;
  }

  // Reserves the first `bytes` bytes of the file `fd` on its disk: 0 or an error number.
  static int reserve(int fd, std::size_t bytes) {
#ifdef __linux__
    // fallocate() reports a file system that cannot reserve; posix_fallocate() would write
    // zeros instead.
    for (;;) {
      if (::fallocate(fd, 0, 0, static_cast<off_t>(bytes)) == 0) return 0;
      if (errno != EINTR) return errno;
    }
#else
    return ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
#endif
  }

  T* data_ = nullptr;
  std::size_t bytes_ = 0;
  int fd_ = -1;        // the file the elements live in, or -1 for memory
  int fileError_ = 0;  // why the last growth in the file failed
};

}  // namespace internal
}  // namespace Tessel
