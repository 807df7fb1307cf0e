#pragma once

// An index file mapped read-only: opened without waiting on a FIFO, its type and size checked
// before anything is mapped.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include <tessel/format.h>
#include <tessel/status.h>

namespace Tessel {
namespace internal {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() { unmap(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      unmap();
      data_ = std::exchange(other.data_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }

  // Maps the file at `path`. Returns kIndexOk, kIndexCannotOpen (errno tells why; EISDIR for a
  // directory) or kIndexNotAnIndex (not a regular file, or a size no index has). A FIFO is
  // refused at once, without waiting for a writer.
  int map(const char* path) {
    unmap();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return kIndexCannotOpen;
    const int status = mapDescriptor(fd);
    const int error = errno;
    ::close(fd);
    errno = error;
    return status;
  }

  // Maps the open file `fd`, which the caller keeps and may close afterwards; statuses as for
  // map().
  int mapDescriptor(int fd) {
    unmap();
    struct stat st;
    if (::fstat(fd, &st) != 0) return kIndexCannotOpen;
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return kIndexCannotOpen;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (!S_ISREG(st.st_mode) || !Format::validSize(size)) return kIndexNotAnIndex;
    void* memory = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return kIndexCannotOpen;
    data_ = static_cast<const unsigned char*>(memory);
    bytes_ = size;
    return kIndexOk;
  }

  void unmap() {
    if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), bytes_);
    data_ = nullptr;
    bytes_ = 0;
  }

  const unsigned char* data() const { return data_; }
  std::size_t bytes() const { return bytes_; }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace internal
}  // namespace Tessel
