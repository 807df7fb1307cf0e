#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <tessel/internal/io.h>

namespace Tessel {
namespace internal {

// Writes a large file past the page cache where the file system allows it: the copy into the
// cache and the writeback that the sync would do cost more there than the disk's own time.
// What is left below a whole block, or what the file system refuses so, goes the usual way.
inline bool writeLarge(int fd, const char* data, std::size_t size) {
  constexpr std::size_t kDirectFrom = std::size_t{256} << 20;
  constexpr std::size_t kBlock = 4096;
#ifdef O_DIRECT
  const bool large = size >= kDirectFrom && reinterpret_cast<std::uintptr_t>(data) % kBlock == 0;
  const int flags = large ? ::fcntl(fd, F_GETFL) : -1;
  if (flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0) {
    // A refusal part way (EINVAL on some file systems, or a short write that leaves the rest
    // unaligned) leaves the rest to the usual writes.
    std::size_t done = 0;
    (void)writeAll(fd, data, size / kBlock * kBlock, &done);
    done = done / kBlock * kBlock;
    if (::fcntl(fd, F_SETFL, flags) != 0) return false;
    if (::lseek(fd, static_cast<off_t>(done), SEEK_SET) < 0) return false;
    return writeAll(fd, data + done, size - done);
  }
#endif
  return writeAll(fd, data, size);
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

// Whether `path` and `resolved` name the same file. Both exist, or `path` does not.
inline bool sameFile(const std::string& path, const std::string& resolved) {
  struct stat named, found;
  if (::stat(path.c_str(), &named) != 0) return true;  // a dangling link: its target is made
  return ::stat(resolved.c_str(), &found) == 0 && named.st_dev == found.st_dev &&
         named.st_ino == found.st_ino;
}

// A temporary file that may exist, recorded where a signal handler can read it: `directory`
// and `name` are complete whenever `state` is kArmed.
struct PendingTemporary {
  static constexpr int kFree = 0, kClaimed = 1, kArmed = 2;
  std::atomic<int> state{kFree};
  int directory = -1;
  char name[64];
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

  // Records `name` in the open directory `directory` before the file is created, so that no
  // moment has it on disk unrecorded.
  void arm(int directory, const char* name) {
    if (slot_ == nullptr || std::strlen(name) >= sizeof slot_->name) return;
    slot_->state.store(PendingTemporary::kClaimed);
    slot_->directory = directory;
    std::memcpy(slot_->name, name, std::strlen(name) + 1);
    slot_->state.store(PendingTemporary::kArmed);
  }
  // Forgets the name once the file has been renamed or removed.
  void disarm() {
    if (slot_ != nullptr) slot_->state.store(PendingTemporary::kClaimed);
  }

 private:
  PendingTemporary* slot_ = nullptr;
};

// The directory of `path`, open for the calls relative to it; -1 with errno set on failure.
// Without leave to read it, it is opened as a mere handle, which cannot be synced.
inline int openDirectory(const std::string& path) {
  const std::string directory = directoryPart(path);
  const char* name = directory.empty() ? "." : directory.c_str();
  int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
  if (fd < 0 && errno == EACCES) fd = ::open(name, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
  return fd;
}

// Creates a new file in `directory` with the permissions `mode` (the umask applies); its name
// goes to `name`.
inline int createTemporary(int directory, mode_t mode, char (&name)[64], TemporaryRecord& record) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    (void)std::snprintf(name, sizeof name, ".tessel-%ld-%lx-%u.tmp", static_cast<long>(::getpid()),
                        static_cast<unsigned long>(std::time(nullptr)), counter++);
    record.arm(directory, name);
    const int fd = ::openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    record.disarm();
    if (errno != EEXIST) return -1;
  }
  return -1;
}

inline bool closeChecked(int fd) {
  return ::close(fd) == 0 || errno == EINTR;
}

// Writes the whole of `data` into the existing file `path`, which is not replaced (a FIFO, a
// device, or what a link of /proc names), then asks `beforeCommit`.
inline int writeInPlace(const char* path, const char* data, std::size_t size,
                        bool (*beforeCommit)(void*), void* context) {
  const int fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  const bool written = writeAll(fd, data, size);
  if (!closeChecked(fd) || !written) return -1;
  if (beforeCommit != nullptr && !beforeCommit(context)) {
    errno = ECANCELED;
    return -1;
  }
  return 0;
}

}  // namespace internal

// Removes the temporary files of the replaceFile calls under way in this process, leaving their
// targets as they were. Meant for a handler of a signal that then ends the process: it is
// async-signal-safe, and a replaceFile it interrupts must not go on.
inline void removeTemporaryFiles() noexcept {
  for (internal::PendingTemporary& slot : internal::pendingTemporaries) {
    if (slot.state.load() == internal::PendingTemporary::kArmed) {
      ::unlinkat(slot.directory, slot.name, 0);
    }
  }
}

// Writes `size` bytes from `data` to the file `path` so that a reader sees either the old
// content or all of the new one: the bytes go to a temporary file in the same directory,
// which is synced to the disk, renamed over `path` and removed on any failure; the directory is
// synced after the rename. Files are created, renamed and removed relative to the directory,
// so any path that can be opened can be replaced, however long. A symbolic link
// stays a link and its target is replaced; an existing file keeps its permission bits and,
// where allowed, its owner; a new file gets 0666 less the umask. A path that exists and is
// not a regular file (a FIFO, a device), or whose links do not name a file by its text (as
// /dev/fd/N of a pipe or of a deleted file), is opened and written in place; no other file is
// ever created for it. A file that exists but may not be written is refused, as opening it for
// writing would be.
// beforeCommit(context), when given, is called once the new bytes are safely in the temporary
// file, just before the rename: returning false abandons the replacement, leaving `path` as it
// was, and the call fails with ECANCELED. A file written in place has no old bytes to keep: it
// is asked after the write, and its false only makes the call fail.
// Returns 0 on success, -1 on failure with errno set. Under a file-size limit the process
// must ignore SIGXFSZ to see the failure instead of being killed.
inline int replaceFile(const char* path, const void* data, std::size_t size,
                       bool (*beforeCommit)(void*) = nullptr, void* context = nullptr) {
  std::string finalPath = path;
  if (!internal::resolveLinks(finalPath)) return -1;
  const char* bytes = static_cast<const char*>(data);
  if (!internal::sameFile(path, finalPath)) {
    return internal::writeInPlace(path, bytes, size, beforeCommit, context);
  }

  struct stat st;
  const bool exists = ::stat(finalPath.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    return internal::writeInPlace(finalPath.c_str(), bytes, size, beforeCommit, context);
  }
  if (exists && ::faccessat(AT_FDCWD, finalPath.c_str(), W_OK, AT_EACCESS) != 0) return -1;

  // No file name (an empty path, or one ending in a slash) fails here, as open() would, and
  // not at the rename after all the work.
  const std::string target = finalPath.substr(internal::directoryPart(finalPath).size());
  if (target.empty()) {
    errno = finalPath.empty() ? ENOENT : EISDIR;
    return -1;
  }
  const int directory = internal::openDirectory(finalPath);
  if (directory < 0) return -1;
  char tempName[64];
  internal::TemporaryRecord record;
  const int fd =
      internal::createTemporary(directory, exists ? (st.st_mode & 07777) : 0666, tempName, record);
  bool ok = fd >= 0;
  if (ok && exists) {
    // Ownership is kept where the caller may set it; the mode is set after, as chown may clear
    // set-id bits.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;
    ok = ::fchmod(fd, st.st_mode & 07777) == 0;
  }
  ok = ok && internal::writeLarge(fd, bytes, size);
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0) ok = internal::closeChecked(fd) && ok;
  if (ok && beforeCommit != nullptr && !beforeCommit(context)) {
    errno = ECANCELED;
    ok = false;
  }
  ok = ok && ::renameat(directory, tempName, directory, target.c_str()) == 0;
  const int saved = errno;
  if (!ok && fd >= 0) ::unlinkat(directory, tempName, 0);
  record.disarm();
  // Makes the rename survive a crash. Some file systems cannot sync a directory; the rename has
  // happened all the same, so that is no failure.
  if (ok) (void)::fsync(directory);
  ::close(directory);
  errno = saved;
  return ok ? 0 : -1;
}

}  // namespace Tessel
