#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace Tessel {
namespace detail {

inline bool writeAll(int fd, const char* data, std::size_t size) {
  // Some kernels refuse single writes above 2 GiB; stay well below.
  constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
  while (size > 0) {
    const std::size_t chunk = size < kMaxChunk ? size : kMaxChunk;
    const ssize_t written = ::write(fd, data, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

inline std::string directoryPart(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links from `path` to the name that really holds the file (which may not
// exist yet). Returns false on a loop or an unreadable link.
inline bool resolveLinks(std::string& path) {
  constexpr int kMaxLinks = 40;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (hops == kMaxLinks) return false;
    std::vector<char> target(static_cast<std::size_t>(st.st_size) + 256);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) == target.size()) return false;
    const std::string link(target.data(), static_cast<std::size_t>(length));
    if (link[0] == '/') {
      path = link;
    } else {
      path = directoryPart(path);
      path += link;
    }
  }
}

// A temporary file that may exist, recorded where a signal handler can read it: `path` is
// complete whenever `state` is kArmed.
struct PendingTemporary {
  static constexpr int kFree = 0, kClaimed = 1, kArmed = 2;
  std::atomic<int> state{kFree};
  char path[4096];
};
static_assert(std::atomic<int>::is_always_lock_free, "read from signal handlers");

// Enough for every thread that may be saving at once; a save finding none free goes
// unrecorded.
inline PendingTemporary pendingTemporaries[16];

// Records temporary file names for as long as it lives.
class TemporaryRecord {
 public:
  TemporaryRecord() {
    for (PendingTemporary& slot : pendingTemporaries) {
      int expected = PendingTemporary::kFree;
      if (slot.state.compare_exchange_strong(expected, PendingTemporary::kClaimed)) {
        slot_ = &slot;
        return;
      }
    }
  }
  ~TemporaryRecord() {
    if (slot_ != nullptr) slot_->state.store(PendingTemporary::kFree);
  }
  TemporaryRecord(const TemporaryRecord&) = delete;
  TemporaryRecord& operator=(const TemporaryRecord&) = delete;

  // Records `path` before the file is created, so that no moment has it on disk unrecorded.
  void arm(const std::string& path) {
    if (slot_ == nullptr || path.size() >= sizeof slot_->path) return;
    slot_->state.store(PendingTemporary::kClaimed);
    std::memcpy(slot_->path, path.c_str(), path.size() + 1);
    slot_->state.store(PendingTemporary::kArmed);
  }
  // Forgets the path once the file has been renamed or removed.
  void disarm() {
    if (slot_ != nullptr) slot_->state.store(PendingTemporary::kClaimed);
  }

 private:
  PendingTemporary* slot_ = nullptr;
};

// Creates a new file beside `finalPath` with the permissions `mode` (the umask applies).
inline int createTemporary(const std::string& finalPath, mode_t mode, std::string& tempPath,
                           TemporaryRecord& record) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    (void)std::snprintf(name, sizeof name, ".tessel-%ld-%lx-%u.tmp", static_cast<long>(::getpid()),
                        static_cast<unsigned long>(std::time(nullptr)), counter++);
    tempPath = directoryPart(finalPath) + name;
    record.arm(tempPath);
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    record.disarm();
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Makes a rename in the directory of `path` survive a crash. Some file systems cannot sync a
// directory; the rename has happened all the same, so that is no failure.
inline void syncDirectory(const std::string& path) {
  const std::string directory = directoryPart(path);
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

inline bool closeChecked(int fd) {
  return ::close(fd) == 0 || errno == EINTR;
}

}  // namespace detail

// Removes the temporary files of the replaceFile calls under way in this process, leaving their
// targets as they were. Meant for a handler of SIGINT or SIGTERM that then ends the process:
// it is async-signal-safe, and a replaceFile it interrupts must not go on.
inline void removeTemporaryFiles() noexcept {
  for (detail::PendingTemporary& slot : detail::pendingTemporaries) {
    if (slot.state.load() == detail::PendingTemporary::kArmed) ::unlink(slot.path);
  }
}

// Writes `size` bytes from `data` to the file `path` so that a reader sees either the old
// content or all of the new one: the bytes go to a temporary file in the same directory,
// which is synced to the disk, renamed over `path` and removed on any failure; the directory is
// synced after the rename. A symbolic link
// stays a link and its target is replaced; an existing file keeps its permission bits and,
// where allowed, its owner; a new file gets 0666 less the umask. A path that exists and is
// not a regular file (a FIFO, a device) is opened and written in place. A file that exists
// but may not be written is refused, as opening it for writing would be.
// Returns 0 on success, -1 on failure with errno set. Under a file-size limit the process
// must ignore SIGXFSZ to see the failure instead of being killed.
inline int replaceFile(const char* path, const void* data, std::size_t size) {
  std::string finalPath = path;
  if (!detail::resolveLinks(finalPath)) return -1;
  const char* bytes = static_cast<const char*>(data);

  struct stat st;
  const bool exists = ::stat(finalPath.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    const int fd = ::open(finalPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return -1;
    const bool written = detail::writeAll(fd, bytes, size);
    return detail::closeChecked(fd) && written ? 0 : -1;
  }
  if (exists && ::faccessat(AT_FDCWD, finalPath.c_str(), W_OK, AT_EACCESS) != 0) return -1;

  std::string tempPath;
  detail::TemporaryRecord record;
  const int fd =
      detail::createTemporary(finalPath, exists ? (st.st_mode & 07777) : 0666, tempPath, record);
  if (fd < 0) return -1;
  bool ok = true;
  if (exists) {
    // Ownership is kept where the caller may set it; the mode is set after, as chown may clear
    // set-id bits.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;
    ok = ::fchmod(fd, st.st_mode & 07777) == 0;
  }
  ok = ok && detail::writeAll(fd, bytes, size);
  ok = ok && ::fsync(fd) == 0;
  ok = detail::closeChecked(fd) && ok;
  ok = ok && ::rename(tempPath.c_str(), finalPath.c_str()) == 0;
  if (!ok) {
    const int saved = errno;
    ::unlink(tempPath.c_str());
    record.disarm();
    errno = saved;
    return -1;
  }
  record.disarm();
  detail::syncDirectory(finalPath);
  return 0;
}

}  // namespace Tessel
